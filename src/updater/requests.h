#pragma once

#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

// The requests the updater sends. Each one gives up when no byte has arrived for
// transferTimeoutMs(), so a stalled server cannot hang a check or a download. Each asks for
// compressed bodies as Qt would, which leaves decoding them to the updater (ContentDecoder).
class QNetworkAccessManager;

namespace UpdaterRequests {

// Bytes a download may hold in memory before the network waits for the disk.
constexpr qint64 kReadBufferBytes = 1024 * 1024;

// 30 s, or EMBERCREST_TRANSFER_TIMEOUT_MS when that is set to a positive number.
int transferTimeoutMs();

// checkId: the check (see ManifestCheck) that a manifest request and its signature request
// belong to.
QNetworkRequest manifestRequest(const QUrl &url, quint64 checkId = 0);
// From byte `from` on when it is above 0, with If-Range: `validator`, to continue a file.
QNetworkRequest fileRequest(const QUrl &url, qint64 from = 0, const QByteArray &validator = {});
// <manifest URL>.sig, fetched beside the manifest when manifests are checked.
QNetworkRequest signatureRequest(const QUrl &manifestUrl, quint64 checkId);

// True for a request made by manifestRequest(): only those replies are read as manifests.
bool isManifestRequest(const QNetworkRequest &request);
bool isSignatureRequest(const QNetworkRequest &request);
quint64 checkIdOf(const QNetworkRequest &request);

// A reply that the updater ended because it broke a bound, and why (see TransferGuard).
void markRefused(QNetworkReply *reply, const QString &why);
QString refusalOf(const QNetworkReply *reply);

// The reply's HTTP status, 0 when it has none.
int statusOf(const QNetworkReply *reply);
// A 2xx reply that ended without an error.
bool isSuccess(const QNetworkReply *reply);
// 301, 302, 303, 305, 307 and 308: a redirect, which is reported and never followed.
bool isRedirect(int status);
// Statuses whose reply never has a body, whatever Content-Length says.
bool hasNoBody(int status);
// The proxy that `network` would use for `url`: its own one, its proxy factory's first answer
// that suits the URL, or the application's. NoProxy without a manager; DefaultProxy when none of
// the answers suits the URL.
QNetworkProxy proxyFor(QNetworkAccessManager *network, const QUrl &url);
// An HTTP proxy that takes plain http requests as they are, rather than a tunnel.
bool forwardsRequests(const QNetworkProxy &proxy);
// What identifies the server's version of a file: its ETag, else its Last-Modified.
QByteArray validatorOf(const QNetworkReply *reply);

} // namespace UpdaterRequests
