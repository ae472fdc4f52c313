#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>

// Manifests and signatures as players get them, from the update server, or from files for a
// check before upload.
namespace Publish {

// What one GET returned, read as the launcher reads it: a redirect is not followed, and a body
// larger than the bound is not read further.
struct Fetched
{
    QByteArray body;
    int status = 0;  // the HTTP status; 0 when no answer came
    QString problem; // why the body is not usable; empty for a 2xx reply within the bound
};

// A GET of url, given up after 30 s without a byte.
Fetched fetch(const QUrl &url, qint64 maxBytes);

// True for a text that starts with http:// or https://.
bool isUrl(const QString &text);

// The URL of a manifest's signature, as the launcher forms it: ".sig" after the path.
QUrl signatureUrl(const QUrl &manifest);

// A manifest and its signature, read from MANIFEST and MANIFEST.sig, files or URLs.
struct ManifestSource
{
    QString name; // the manifest's path or URL
    QString signatureName;
    QByteArray manifest;
    QString problem; // why the manifest could not be read; empty when it was
    std::optional<QByteArray> signature;
    // No signature: there is no such file, or the server said 404 or 410. Otherwise, when
    // there is none, signatureProblem says why.
    bool signatureMissing = false;
    QString signatureProblem;
};

ManifestSource readManifestSource(const QString &pathOrUrl);

} // namespace Publish
