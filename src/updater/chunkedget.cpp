#include "chunkedget.h"

#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>
#include <QTcpSocket>
#ifndef QT_NO_SSL
#include <QSslSocket>
#endif

#include <cstring>
#include <limits>
#include <utility>

namespace {

// Fixed, whatever the packets the reply arrives in: a line is measured once it is whole.
constexpr int kMaxLine = 8 * 1024;
constexpr int kMaxLines = 100;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t';
}

// The characters of a header name (an HTTP token).
bool isTokenChar(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

QByteArray withoutSpaceAround(const QByteArray &value)
{
    int from = 0, to = value.size();
    while (from < to && isSpace(value.at(from)))
        ++from;
    while (to > from && isSpace(value.at(to - 1)))
        --to;
    return value.mid(from, to - from);
}

bool forwardsRequests(const QNetworkProxy &proxy)
{
    return (proxy.type() == QNetworkProxy::HttpProxy ||
            proxy.type() == QNetworkProxy::HttpCachingProxy) &&
           (proxy.capabilities() & QNetworkProxy::CachingCapability);
}

} // namespace

ChunkedGet::ChunkedGet(const QUrl &url, QNetworkAccessManager *network, int stallTimeoutMs,
                       qint64 bufferBytes, QObject *parent)
    : QIODevice(parent), target(url), network(network), bufferBytes(bufferBytes)
{
    stall.setSingleShot(true);
    stall.setInterval(stallTimeoutMs);
    connect(&stall, &QTimer::timeout, this, [this] { fail(QStringLiteral("Operation canceled")); });
}

ChunkedGet::~ChunkedGet()
{
    if (socket) {
        socket->disconnect(this);
        socket->abort();
    }
}

// As QNetworkAccessManager chooses: the first proxy of the list that can carry the request,
// an HTTP proxy forwarding plain http, anything that tunnels otherwise.
QNetworkProxy ChunkedGet::proxyFor(QNetworkAccessManager *network, const QUrl &url)
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

void ChunkedGet::start()
{
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    const bool secure = target.scheme() == QLatin1String("https");
#ifdef QT_NO_SSL
    if (secure) {
        // A Qt without TLS (such as the static Windows build) cannot fetch this file at all.
        fail(QStringLiteral("TLS is not available"));
        return;
    }
    socket = new QTcpSocket(this);
#else
    socket = secure ? new QSslSocket(this) : new QTcpSocket(this);
#endif
    const QNetworkProxy proxy = proxyFor(network, target);
    if (proxy.type() == QNetworkProxy::DefaultProxy) {
        fail(QStringLiteral("No suitable proxy found"));
        return;
    }
    // A plain http request goes to an HTTP proxy as it is; everything else goes through the
    // socket's proxy (a CONNECT tunnel, SOCKS) or none. Never the application's default one.
    if (!secure && forwardsRequests(proxy))
        forwardProxy = proxy;
    socket->setProxy(forwardProxy.type() == QNetworkProxy::NoProxy
                         ? proxy
                         : QNetworkProxy(QNetworkProxy::NoProxy));
    socket->setReadBufferSize(bufferBytes);
    connect(socket, &QTcpSocket::readyRead, this, &ChunkedGet::process);
    connect(socket, &QTcpSocket::disconnected, this, &ChunkedGet::socketClosed);
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    const auto errorSignal = &QAbstractSocket::errorOccurred;
#else
    const auto errorSignal = QOverload<QAbstractSocket::SocketError>::of(&QAbstractSocket::error);
#endif
    connect(socket, errorSignal, this, [this](QAbstractSocket::SocketError e) {
        if (e == QAbstractSocket::RemoteHostClosedError)
            socketClosed();
        else
            fail(socket->errorString());
    });
    connect(socket, &QTcpSocket::bytesWritten, this, [this] { stall.start(); });
    const quint16 port = quint16(target.port(secure ? 443 : 80));
#ifndef QT_NO_SSL
    if (secure) {
        auto *ssl = static_cast<QSslSocket *>(socket);
        connect(ssl, &QSslSocket::encrypted, this, &ChunkedGet::sendRequest);
        ssl->connectToHostEncrypted(target.host(), port);
        stall.start();
        return;
    }
#endif
    connect(socket, &QTcpSocket::connected, this, &ChunkedGet::sendRequest);
    if (forwardProxy.type() == QNetworkProxy::NoProxy)
        socket->connectToHost(target.host(), port);
    else
        socket->connectToHost(forwardProxy.hostName(), forwardProxy.port());
    stall.start();
}

void ChunkedGet::sendRequest()
{
    QUrl url = target;
    url.setUserInfo(QString());
    url.setFragment(QString());
    if (url.path().isEmpty())
        url.setPath(QStringLiteral("/"));
    QByteArray requestTarget;
    QByteArray proxyAuthorization;
    if (forwardProxy.type() != QNetworkProxy::NoProxy) {
        // An HTTP proxy is given the whole URL (absolute form), as the network manager does.
        requestTarget = url.toEncoded();
        if (!forwardProxy.user().isEmpty())
            proxyAuthorization = "Proxy-Authorization: Basic " +
                                 (forwardProxy.user() + QLatin1Char(':') + forwardProxy.password())
                                     .toLatin1()
                                     .toBase64() +
                                 "\r\n";
    } else {
        requestTarget = url.path(QUrl::FullyEncoded).toLatin1();
        if (url.hasQuery())
            requestTarget += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    }
    socket->write("GET " + requestTarget +
                  " HTTP/1.1\r\nHost: " + url.authority(QUrl::FullyEncoded).toLatin1() + "\r\n" +
                  proxyAuthorization + "Accept-Encoding: identity\r\nConnection: close\r\n\r\n");
}

void ChunkedGet::abortTransfer()
{
    fail(QStringLiteral("Operation canceled"));
}

qint64 ChunkedGet::bytesAvailable() const
{
    return decoded.size() + QIODevice::bytesAvailable();
}

qint64 ChunkedGet::readData(char *data, qint64 maxSize)
{
    const qint64 n = qMin<qint64>(maxSize, decoded.size());
    if (n == 0)
        return ended ? -1 : 0;
    std::memcpy(data, decoded.constData(), size_t(n));
    decoded.remove(0, int(n));
    // Room again: go on with what has arrived meanwhile.
    if (!ended)
        QTimer::singleShot(0, this, &ChunkedGet::process);
    return n;
}

// A line without its CRLF. False when it has not arrived whole yet, or cannot be read.
bool ChunkedGet::takeLine(QByteArray *line)
{
    const int window = int(qMin<qint64>(in.size(), kMaxLine + 2));
    const char *data = in.constData();
    const char *lf = static_cast<const char *>(std::memchr(data, '\n', size_t(window)));
    if (!lf) {
        if (window == kMaxLine + 2)
            malformed("a line longer than 8 KiB");
        return false;
    }
    const int end = int(lf - data);
    if (end == 0 || data[end - 1] != '\r') {
        malformed("a line not ended by CRLF");
        return false;
    }
    *line = in.left(end - 1);
    in.remove(0, end + 1);
    if (line->contains('\r') || line->contains('\0')) {
        malformed("a CR or NUL inside a line");
        return false;
    }
    return true;
}

// "HTTP/1.x", a space, three digits, and the reason after one more space if there is one.
bool ChunkedGet::statusLine(const QByteArray &line)
{
    const bool wellFormed = line.size() >= 12 && line.startsWith("HTTP/1.") &&
                            isDigit(line.at(7)) && line.at(8) == ' ' && isDigit(line.at(9)) &&
                            isDigit(line.at(10)) && isDigit(line.at(11)) &&
                            (line.size() == 12 || line.at(12) == ' ');
    if (!wellFormed) {
        malformed("a malformed status line");
        return false;
    }
    statusCode = line.mid(9, 3).toInt();
    reason = line.mid(13);
    return true;
}

// A header (or trailer) line. False when the reply cannot be read on.
bool ChunkedGet::headerLine(const QByteArray &line)
{
    if (++lines > kMaxLines) {
        malformed("more than 100 header lines");
        return false;
    }
    if (isSpace(line.at(0))) {
        malformed("a folded header line");
        return false;
    }
    const int colon = line.indexOf(':');
    bool named = colon > 0;
    for (int i = 0; named && i < colon; ++i)
        named = isTokenChar(line.at(i));
    if (!named) {
        malformed("a header line without a name");
        return false;
    }
    if (state == State::Trailers)
        return true;
    const QByteArray name = line.left(colon).toLower();
    const QByteArray value = withoutSpaceAround(line.mid(colon + 1));
    if (name == "transfer-encoding") {
        // Any other coding would be left undecoded (identity was asked for); chunked twice is
        // not chunked once.
        if (chunked || value.toLower() != "chunked") {
            malformed("a transfer coding other than chunked");
            return false;
        }
        chunked = true;
    } else if (name == "content-length") {
        // Repeats of one value frame the body alike; two values leave it unknown.
        const QList<QByteArray> values = value.split(',');
        for (const QByteArray &item : values) {
            const QByteArray digits = withoutSpaceAround(item);
            bool number = !digits.isEmpty() && digits.size() <= 18;
            for (int i = 0; number && i < digits.size(); ++i)
                number = isDigit(digits.at(i));
            if (!number || (contentLength >= 0 && digits.toLongLong() != contentLength)) {
                malformed("a Content-Length that is not one number");
                return false;
            }
            contentLength = digits.toLongLong();
        }
    }
    return true;
}

// The blank line after the headers: how the body is framed.
bool ChunkedGet::headersEnd()
{
    if (statusCode < 200 || statusCode > 299) {
        fail(QStringLiteral("Error transferring %1 - server replied: %2")
                 .arg(target.toString(), QString::fromLatin1(reason)));
        return false;
    }
    if (chunked && contentLength >= 0) {
        malformed("both Transfer-Encoding and Content-Length");
        return false;
    }
    if (chunked) {
        state = State::ChunkSize;
        return true;
    }
    // Only a close would end it, and a cut looks the same.
    if (contentLength < 0) {
        malformed("a body without a length");
        return false;
    }
    state = State::Body;
    left = contentLength;
    if (left == 0)
        complete();
    return !ended;
}

// 1 to 16 hexadecimal digits; whatever follows a ';' (chunk extensions) is ignored.
bool ChunkedGet::chunkSizeLine(const QByteArray &line)
{
    int digits = 0;
    while (digits < line.size() && isHexDigit(line.at(digits)))
        ++digits;
    int rest = digits;
    while (rest < line.size() && isSpace(line.at(rest)))
        ++rest;
    bool ok = digits >= 1 && digits <= 16 &&
              (rest == line.size() ? rest == digits : line.at(rest) == ';');
    const quint64 size = ok ? line.left(digits).toULongLong(&ok, 16) : 0;
    if (!ok || size > quint64(std::numeric_limits<qint64>::max())) {
        malformed("a malformed chunk size");
        return false;
    }
    left = qint64(size);
    if (left == 0) {
        state = State::Trailers;
        lines = 0;
    } else {
        state = State::ChunkData;
    }
    return true;
}

void ChunkedGet::appendBody(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    decoded += bytes;
    received += bytes.size();
    emit downloadProgress(received, chunked ? -1 : contentLength);
    emit readyRead();
}

void ChunkedGet::process()
{
    if (ended || !socket)
        return;
    stall.start();
    // The decoded bytes wait for the disk; the rest stays in the socket meanwhile.
    while (!ended && decoded.size() < bufferBytes) {
        if (in.size() < bufferBytes && socket->bytesAvailable() > 0)
            in += socket->read(bufferBytes - in.size());
        if (!step())
            break;
    }
    // Nothing more will come: every body here has an end of its own, so this is a cut.
    if (!ended && closed && socket->bytesAvailable() == 0 && decoded.size() < bufferBytes)
        fail(QStringLiteral("Connection closed before the end of the body"));
}

// One step of reading the reply; false when it needs more bytes.
bool ChunkedGet::step()
{
    QByteArray line;
    switch (state) {
    case State::StatusLine:
        if (!takeLine(&line) || !statusLine(line))
            return false;
        state = State::Headers;
        return true;
    case State::Headers:
        if (!takeLine(&line))
            return false;
        return line.isEmpty() ? headersEnd() : headerLine(line);
    case State::ChunkSize:
        return takeLine(&line) && chunkSizeLine(line);
    case State::ChunkData:
    case State::Body: {
        if (in.isEmpty())
            return false;
        const QByteArray part = in.left(int(qMin<qint64>(left, in.size())));
        in.remove(0, part.size());
        left -= part.size();
        appendBody(part);
        if (left == 0) {
            if (state == State::Body)
                complete();
            else
                state = State::ChunkEnd;
        }
        return !ended;
    }
    case State::ChunkEnd:
        if (!takeLine(&line))
            return false;
        if (!line.isEmpty()) {
            malformed("a chunk longer than its size");
            return false;
        }
        state = State::ChunkSize;
        return true;
    case State::Trailers:
        if (!takeLine(&line))
            return false;
        if (line.isEmpty())
            complete();
        else
            headerLine(line);
        return !ended;
    case State::Done:
        return false;
    }
    return false;
}

void ChunkedGet::socketClosed()
{
    closed = true;
    process();
}

void ChunkedGet::malformed(const char *what)
{
    fail(QStringLiteral("Malformed reply from the server: %1").arg(QLatin1String(what)));
}

void ChunkedGet::fail(const QString &problem)
{
    if (ended)
        return;
    failure = problem;
    ended = true;
    stall.stop();
    if (socket) {
        socket->disconnect(this);
        socket->abort();
    }
    QTimer::singleShot(0, this, &ChunkedGet::finished);
}

void ChunkedGet::complete()
{
    if (ended)
        return;
    state = State::Done;
    ended = true;
    stall.stop();
    // As a reply does: at the end the total is known.
    emit downloadProgress(received, received);
    socket->disconnect(this);
    socket->abort();
    QTimer::singleShot(0, this, &ChunkedGet::finished);
}
