#include "requests.h"

#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>
#include <QtGlobal>

namespace UpdaterRequests {

namespace {

// Marks a manifest request; its reply carries the request along.
constexpr QNetworkRequest::Attribute kManifestMark = QNetworkRequest::User;
constexpr auto kSignatureMark = QNetworkRequest::Attribute(QNetworkRequest::User + 1);
constexpr auto kCheckId = QNetworkRequest::Attribute(QNetworkRequest::User + 2);

QNetworkRequest timedRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    // Qt 6 follows redirects unless told otherwise; the updater reports a redirect and never
    // follows one, for the manifest and for every file.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    request.setTransferTimeout(transferTimeoutMs());
#endif
    // What Qt 5 sends on its own; set here, it makes Qt hand the body over as it came instead
    // of inflating it, without bound, in its network thread.
    request.setRawHeader("Accept-Encoding", "gzip, deflate");
    return request;
}

} // namespace

int transferTimeoutMs()
{
    bool ok = false;
    const int overridden = qEnvironmentVariableIntValue("EMBERCREST_TRANSFER_TIMEOUT_MS", &ok);
    return ok && overridden > 0 ? overridden : 30000;
}

QNetworkRequest manifestRequest(const QUrl &url, quint64 checkId)
{
    QNetworkRequest request = timedRequest(url);
    request.setAttribute(kManifestMark, true);
    if (checkId != 0)
        request.setAttribute(kCheckId, checkId);
    return request;
}

QNetworkRequest signatureRequest(const QUrl &manifestUrl, quint64 checkId)
{
    QUrl url = manifestUrl;
    // The path as sent, %-escapes kept, with ".sig" after it.
    url.setPath(manifestUrl.path(QUrl::FullyEncoded) + QLatin1String(".sig"), QUrl::TolerantMode);
    QNetworkRequest request = timedRequest(url);
    request.setAttribute(kSignatureMark, true);
    request.setAttribute(kCheckId, checkId);
    return request;
}

QNetworkRequest fileRequest(const QUrl &url, qint64 from, const QByteArray &validator)
{
    QNetworkRequest request = timedRequest(url);
    if (from > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(from) + '-');
        request.setRawHeader("If-Range", validator);
    }
    return request;
}

bool isManifestRequest(const QNetworkRequest &request)
{
    return request.attribute(kManifestMark).toBool();
}

bool isSignatureRequest(const QNetworkRequest &request)
{
    return request.attribute(kSignatureMark).toBool();
}

quint64 checkIdOf(const QNetworkRequest &request)
{
    return request.attribute(kCheckId).toULongLong();
}

void markRefused(QNetworkReply *reply, const QString &why)
{
    reply->setProperty("embercrestRefusal", why);
}

QString refusalOf(const QNetworkReply *reply)
{
    return reply->property("embercrestRefusal").toString();
}

int statusOf(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool isSuccess(const QNetworkReply *reply)
{
    const int status = statusOf(reply);
    return reply->error() == QNetworkReply::NoError && status >= 200 && status <= 299;
}

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 305 || status == 307 ||
           status == 308;
}

bool hasNoBody(int status)
{
    return (status >= 100 && status < 200) || status == 204 || status == 304;
}

bool forwardsRequests(const QNetworkProxy &proxy)
{
    return (proxy.type() == QNetworkProxy::HttpProxy ||
            proxy.type() == QNetworkProxy::HttpCachingProxy) &&
           (proxy.capabilities() & QNetworkProxy::CachingCapability);
}

// As QNetworkAccessManager chooses: the first proxy of the list that can carry the request,
// an HTTP proxy forwarding plain http, anything that tunnels otherwise.
QNetworkProxy proxyFor(QNetworkAccessManager *network, const QUrl &url)
{
    if (!network)
        return QNetworkProxy(QNetworkProxy::NoProxy);
    const QNetworkProxyQuery query(url);
    QList<QNetworkProxy> proxies;
    if (network->proxy().type() != QNetworkProxy::DefaultProxy)
        proxies << network->proxy();
    else if (QNetworkProxyFactory *factory = network->proxyFactory())
        proxies = factory->queryProxy(query);
    else
        proxies = QNetworkProxyFactory::proxyForQuery(query);
    if (proxies.isEmpty())
        proxies << QNetworkProxy(QNetworkProxy::NoProxy);
    const bool secure = url.scheme() == QLatin1String("https");
    for (const QNetworkProxy &proxy : std::as_const(proxies)) {
        if (proxy.type() == QNetworkProxy::DefaultProxy)
            continue;
        if ((!secure && forwardsRequests(proxy)) ||
            (proxy.capabilities() & QNetworkProxy::TunnelingCapability))
            return proxy;
    }
    return QNetworkProxy(QNetworkProxy::DefaultProxy);
}

QByteArray validatorOf(const QNetworkReply *reply)
{
    const QByteArray etag = reply->rawHeader("ETag");
    return etag.isEmpty() ? reply->rawHeader("Last-Modified") : etag;
}

} // namespace UpdaterRequests
