#pragma once

#include "filedigest.h"
#include "releasecopy.h"

#include <QByteArray>
#include <QMap>
#include <QString>

namespace Publish {

// Locale code -> file name -> URL.
using FileUrls = QMap<QString, QMap<QString, QString>>;
// URL, as listed -> the file's size and SHA-256.
using FileDigests = QMap<QString, FileDigest>;

// Why a version text is not usable, or an empty string. The launcher reads versions as
// major.minor and compares major * 10 + minor.
QString versionProblem(const QString &version);

// A warning for versions that the launcher cannot tell apart from others (1.10 and 2.0), or
// an empty string.
QString versionWarning(const QString &version);

// Why a date text is not usable (it must be YYYY-MM-DD), or an empty string.
QString dateProblem(const QString &date);

// The manifest's bytes: "wsection" holds a version element whose members "date" and
// "version" sort in this order (the launcher takes the second one as the version), then one
// element with the file list of every locale. "integrity" holds, for every listed URL text,
// {"size": bytes, "sha256": hex}; launchers that do not know it ignore it.
// "security" holds the serial and, when expires is not empty, the expiry time: launchers
// with a key refuse a manifest with a lower serial than one they accepted, or an expired one.
// With a signing key, it also holds "key", the base64 public key that the manifest is signed
// for, which launchers name in the log when they trust another key. They are signed with the
// rest; launchers without a key ignore the member, and launchers with one ignore "key" but
// for the log.
// "mirrors", when `mirrors` is not empty: {"base": base, "urls": mirrors}, hosts that serve the
// same tree as `base`, which launchers use for the files with an integrity entry.
// "launcher", when launcher.version is not empty: {"version": ..., "files": {platform:
// [{"path": name, "url", "size", "sha256"}, ...]}, "minimumOs": {platform: version}} (that last
// one only when given), the launcher release that signed manifests offer (files copied).
QByteArray manifestJson(const QString &date, const QString &version, const FileUrls &urls,
                        const FileDigests &digests, qint64 serial, const QString &expires,
                        const QByteArray &publicKey = QByteArray(), const QString &base = QString(),
                        const QStringList &mirrors = {}, const LauncherRelease &launcher = {});

} // namespace Publish
