#include "chunkedget.h"

#include "requests.h"

#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QTcpSocket>
#ifndef QT_NO_SSL
#include <QSslSocket>
#endif

#include <cstring>
#include <utility>

ChunkedGet::ChunkedGet(const QNetworkRequest &request, QNetworkAccessManager *network,
                       int stallTimeoutMs, qint64 bufferBytes, QObject *parent)
    : QIODevice(parent), target(request.url()), request(request), network(network),
      bufferBytes(bufferBytes)
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

void ChunkedGet::start()
{
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    connectSocket();
}

void ChunkedGet::connectSocket()
{
    const bool secure = target.scheme() == QLatin1String("https");
#ifdef QT_NO_SSL
    if (secure) {
        // Only a Qt configured without TLS on purpose gets here; it cannot fetch this file.
        fail(QStringLiteral("TLS is not available"));
        return;
    }
    socket = new QTcpSocket(this);
#else
    socket = secure ? new QSslSocket(this) : new QTcpSocket(this);
#endif
    const QNetworkProxy proxy = UpdaterRequests::proxyFor(network, target);
    if (proxy.type() == QNetworkProxy::DefaultProxy) {
        fail(QStringLiteral("No suitable proxy found"));
        return;
    }
    // A plain http request goes to an HTTP proxy as it is; everything else goes through the
    // socket's proxy (a CONNECT tunnel, SOCKS) or none. Never the application's default one.
    if (!secure && UpdaterRequests::forwardsRequests(proxy))
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
    socket->write("GET " + requestTarget + " HTTP/1.1\r\nHost: " +
                  url.authority(QUrl::FullyEncoded).toLatin1() + "\r\n" + proxyAuthorization +
                  managerHeaders() + "Accept-Encoding: identity\r\nConnection: close\r\n\r\n");
}

// The header lines the manager sends with the same request, besides those of the connection and
// its coding: the request's own, the manager's defaults for the ones it leaves out, the cookies
// the manager's jar holds for the URL, and the credentials once asked for.
QByteArray ChunkedGet::managerHeaders() const
{
    QByteArray lines;
    const QList<QByteArray> names = request.rawHeaderList();
    for (const QByteArray &name : names) {
        // This reader takes the body as it is: it asks for no coding.
        if (name.compare("Accept-Encoding", Qt::CaseInsensitive) != 0)
            lines += name + ": " + request.rawHeader(name) + "\r\n";
    }
    if (!request.hasRawHeader("User-Agent"))
        lines += "User-Agent: Mozilla/5.0\r\n";
    if (!request.hasRawHeader("Accept-Language")) {
        // As the manager words it: the system's language, then English, then anything.
        const QString system = QLocale::system().name().replace(QLatin1Char('_'), QLatin1Char('-'));
        QByteArray language = system.toLatin1();
        if (system == QLatin1String("C"))
            language = "en,*";
        else
            language += system.startsWith(QLatin1String("en-")) ? ",*" : ",en,*";
        lines += "Accept-Language: " + language + "\r\n";
    }
    QNetworkCookieJar *jar = network ? network->cookieJar() : nullptr;
    if (!request.hasRawHeader("Cookie") && jar) {
        QList<QByteArray> pairs;
        const QList<QNetworkCookie> cookies = jar->cookiesForUrl(target);
        for (const QNetworkCookie &cookie : cookies)
            pairs << cookie.toRawForm(QNetworkCookie::NameAndValueOnly);
        if (!pairs.isEmpty())
            lines += "Cookie: " + pairs.join("; ") + "\r\n";
    }
    if (!authorization.isEmpty())
        lines += "Authorization: " + authorization + "\r\n";
    return lines;
}

// A 401 that asks for Basic credentials, with credentials in the URL that were not sent yet: the
// request goes again with them, on a new connection, as the manager answers the same challenge.
bool ChunkedGet::answerChallenge()
{
    if (head.status() != 401 || !head.asksForBasic() || !authorization.isEmpty() ||
        target.userName().isEmpty())
        return false;
    authorization = "Basic " + (target.userName(QUrl::FullyDecoded) + QLatin1Char(':') +
                                target.password(QUrl::FullyDecoded))
                                   .toLatin1()
                                   .toBase64();
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    socket = nullptr;
    in.clear();
    head = HttpResponseHead();
    state = State::StatusLine;
    closed = false;
    connectSocket();
    return true;
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
    return accepted(head.takeLine(&in, line));
}

// What the head made of a line; when it found the reply malformed, the transfer fails.
bool ChunkedGet::accepted(bool read)
{
    if (!read && head.problem())
        malformed(head.problem());
    return read;
}

// The blank line after the headers: how the body is framed.
bool ChunkedGet::headersEnd()
{
    if (answerChallenge())
        return false;
    if (head.status() < 200 || head.status() > 299) {
        fail(QStringLiteral("Error transferring %1 - server replied: %2")
                 .arg(target.toString(), QString::fromLatin1(head.reason())));
        return false;
    }
    if (!accepted(head.bodyFramed()))
        return false;
    if (head.isChunked()) {
        state = State::ChunkSize;
        return true;
    }
    state = State::Body;
    left = head.contentLength(); // -1: up to the close
    if (left == 0)
        complete();
    return !ended;
}

void ChunkedGet::appendBody(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    decoded += bytes;
    received += bytes.size();
    emit downloadProgress(received, head.isChunked() ? -1 : head.contentLength());
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
    // Nothing more will come: that ends a body framed by the close, and cuts any other.
    if (!ended && closed && socket->bytesAvailable() == 0 && decoded.size() < bufferBytes) {
        if (state == State::Body && left < 0)
            complete();
        else
            fail(QStringLiteral("Connection closed before the end of the body"));
    }
}

// One step of reading the reply; false when it needs more bytes.
bool ChunkedGet::step()
{
    QByteArray line;
    switch (state) {
    case State::StatusLine:
        if (!takeLine(&line) || !accepted(head.statusLine(line)))
            return false;
        state = State::Headers;
        return true;
    case State::Headers:
        if (!takeLine(&line))
            return false;
        return line.isEmpty() ? headersEnd() : accepted(head.headerLine(line));
    case State::ChunkSize:
        if (!takeLine(&line) || !accepted(head.chunkSizeLine(line, &left)))
            return false;
        state = left == 0 ? State::Trailers : State::ChunkData;
        return true;
    case State::ChunkData:
    case State::Body: {
        if (in.isEmpty())
            return false;
        const QByteArray part = left < 0 ? std::exchange(in, QByteArray())
                                         : in.left(int(qMin<qint64>(left, in.size())));
        in.remove(0, part.size());
        if (left > 0)
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
            accepted(head.trailerLine(line));
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
