#include "remote.h"

#include "updater/manifestsignature.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <memory>

namespace Publish {

namespace {

// As the launcher: a larger manifest is refused.
constexpr qint64 kMaxManifestBytes = 16 << 20;
constexpr int kIdleTimeoutMs = 30000;

struct FileRead
{
    QByteArray bytes;
    bool missing = false;
    QString problem;
};

FileRead readLocal(const QString &path, qint64 maxBytes)
{
    FileRead read;
    QFile file(path);
    if (!QFileInfo(path).isFile()) {
        read.missing = !QFileInfo::exists(path);
        read.problem = read.missing ? QStringLiteral("no such file") : QStringLiteral("not a file");
        return read;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        read.problem = QStringLiteral("cannot read it: ") + file.errorString();
        return read;
    }
    read.bytes = file.read(maxBytes + 1);
    if (read.bytes.size() > maxBytes)
        read.problem = QStringLiteral("larger than %1 bytes, which launchers refuse").arg(maxBytes);
    return read;
}

} // namespace

Fetched fetch(const QUrl &url, qint64 maxBytes)
{
    Fetched fetched;
    QNetworkAccessManager network;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    const std::unique_ptr<QNetworkReply> reply(network.get(request));
    QEventLoop loop;
    QTimer idle;
    idle.setSingleShot(true);
    idle.setInterval(kIdleTimeoutMs);
    bool timedOut = false;
    bool tooLarge = false;
    QObject::connect(&idle, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        reply->abort();
    });
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, [&] {
        idle.start();
        fetched.body += reply->read(maxBytes + 1 - fetched.body.size());
        if (fetched.body.size() > maxBytes) {
            tooLarge = true;
            reply->abort();
        }
    });
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    idle.start();
    if (!reply->isFinished())
        loop.exec();
    if (!tooLarge)
        fetched.body += reply->read(maxBytes + 1 - fetched.body.size());
    fetched.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (tooLarge || fetched.body.size() > maxBytes)
        fetched.problem =
            QStringLiteral("larger than %1 bytes, which launchers refuse").arg(maxBytes);
    else if (timedOut)
        fetched.problem = QStringLiteral("no byte for %1 s").arg(kIdleTimeoutMs / 1000);
    else if (fetched.status >= 300 && fetched.status < 400)
        fetched.problem =
            QStringLiteral("HTTP status %1, a redirect to %2, which launchers do not follow: give "
                           "them the URL it leads to")
                .arg(fetched.status)
                .arg(QString::fromUtf8(reply->rawHeader("Location")));
    else if (fetched.status != 0 && (fetched.status < 200 || fetched.status >= 300))
        fetched.problem = QStringLiteral("HTTP status %1").arg(fetched.status);
    else if (reply->error() != QNetworkReply::NoError)
        fetched.problem = reply->errorString();
    if (!fetched.problem.isEmpty())
        fetched.body.clear();
    return fetched;
}

bool isUrl(const QString &text)
{
    return text.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) ||
           text.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
}

QUrl signatureUrl(const QUrl &manifest)
{
    QUrl url = manifest;
    // The path as sent, %-escapes kept, with ".sig" after it (UpdaterRequests::signatureRequest).
    url.setPath(manifest.path(QUrl::FullyEncoded) + QLatin1String(".sig"), QUrl::TolerantMode);
    return url;
}

ManifestSource readManifestSource(const QString &pathOrUrl)
{
    ManifestSource source;
    source.name = pathOrUrl;
    const qint64 maxSignature = ManifestSignature::kMaxSignatureFileBytes;
    if (!isUrl(pathOrUrl)) {
        source.signatureName = pathOrUrl + QStringLiteral(".sig");
        const FileRead manifest = readLocal(pathOrUrl, kMaxManifestBytes);
        source.problem = manifest.problem;
        source.manifest = manifest.bytes;
        const FileRead signature = readLocal(source.signatureName, maxSignature);
        source.signatureMissing = signature.missing;
        source.signatureProblem = signature.problem;
        if (signature.problem.isEmpty())
            source.signature = signature.bytes;
        return source;
    }
    const QUrl url(pathOrUrl, QUrl::TolerantMode);
    if (!url.isValid() || url.host().isEmpty()) {
        source.problem = QStringLiteral("not a URL that launchers can fetch");
        return source;
    }
    source.signatureName = signatureUrl(url).toString();
    const Fetched manifest = fetch(url, kMaxManifestBytes);
    source.problem = manifest.problem;
    source.manifest = manifest.body;
    const Fetched signature = fetch(signatureUrl(url), maxSignature);
    source.signatureMissing = signature.status == 404 || signature.status == 410;
    source.signatureProblem = signature.problem;
    if (signature.problem.isEmpty())
        source.signature = signature.body;
    return source;
}

} // namespace Publish
