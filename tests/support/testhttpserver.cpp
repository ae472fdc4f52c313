#include "testhttpserver.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <QtGlobal>

#include <algorithm>
#include <limits>

namespace {

// Bytes queued on a socket before we wait for bytesWritten; keeps big bodies from piling up
// in the socket's write buffer.
constexpr qint64 kSlice = 256 * 1024;
constexpr int kMaxHeaderBytes = 64 * 1024;

quint32 mix32(quint32 x)
{
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

QByteArray decodedPath(const QByteArray &target)
{
    QByteArray path = target;
    // Absolute-form targets (as sent to proxies) carry scheme and authority first.
    const int scheme = path.indexOf("://");
    if (scheme >= 0 && scheme < path.indexOf('/')) {
        const int slash = path.indexOf('/', scheme + 3);
        path = slash >= 0 ? path.mid(slash) : QByteArray("/");
    }
    const int end = path.indexOf('?');
    if (end >= 0)
        path.truncate(end);
    const int fragment = path.indexOf('#');
    if (fragment >= 0)
        path.truncate(fragment);
    return QByteArray::fromPercentEncoding(path);
}

} // namespace

// One accepted socket. Owned by (a child of) the socket, so it goes away with it.
class TestHttpConnection : public QObject
{
public:
    TestHttpConnection(TestHttpServer *server, QTcpSocket *socket)
        : QObject(socket), m_server(server), m_socket(socket)
    {
        connect(socket, &QTcpSocket::readyRead, this, &TestHttpConnection::onReadyRead);
        connect(socket, &QTcpSocket::bytesWritten, this, &TestHttpConnection::sendMore);
        connect(socket, &QTcpSocket::disconnected, this, [this] {
            m_state = State::Closing; // nothing more to write to
            m_drip.stop();
            m_socket->deleteLater();
        });
        connect(&m_drip, &QTimer::timeout, this, &TestHttpConnection::dripTick);
        if (socket->bytesAvailable() > 0)
            onReadyRead();
    }

private:
    enum class State { Idle, Sending, Stalled, Closing };

    void onReadyRead()
    {
        const QByteArray data = m_socket->readAll();
        if (m_state == State::Stalled || m_state == State::Closing)
            return; // nobody will answer these anyway
        m_in += data;
        processBuffer();
    }

    void processBuffer()
    {
        if (m_state != State::Idle)
            return; // pipelined requests wait for the current response
        TestHttpServer::Request request;
        if (parseRequest(&request))
            startResponse(request);
    }

    bool parseRequest(TestHttpServer::Request *request)
    {
        const int headerEnd = m_in.indexOf("\r\n\r\n");
        if (headerEnd < 0) {
            if (m_in.size() > kMaxHeaderBytes)
                fail(431);
            return false;
        }
        const QList<QByteArray> lines = m_in.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/1.")) {
            fail(400);
            return false;
        }
        request->method = requestLine.at(0);
        request->target = requestLine.at(1);
        request->path = QString::fromUtf8(decodedPath(request->target));
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines.at(i).indexOf(':');
            if (colon <= 0) {
                fail(400);
                return false;
            }
            request->headers.append(
                {lines.at(i).left(colon).trimmed(), lines.at(i).mid(colon + 1).trimmed()});
        }

        if (!request->header("Transfer-Encoding").isNull()) {
            fail(501); // chunked uploads are not needed by any test so far
            return false;
        }
        qint64 bodyLength = 0;
        const QByteArray contentLength = request->header("Content-Length");
        if (!contentLength.isNull()) {
            bool ok = false;
            bodyLength = contentLength.toLongLong(&ok);
            if (!ok || bodyLength < 0 || bodyLength > std::numeric_limits<int>::max()) {
                fail(400);
                return false;
            }
        }
        const int bodyStart = headerEnd + 4;
        if (m_in.size() - bodyStart < bodyLength)
            return false; // body still on its way
        request->body = m_in.mid(bodyStart, int(bodyLength));
        m_in.remove(0, bodyStart + int(bodyLength));

        const QByteArray connection = request->header("Connection").toLower();
        m_clientWantsClose = requestLine.at(2) == "HTTP/1.0" ? !connection.contains("keep-alive")
                                                             : connection.contains("close");
        return true;
    }

    void startResponse(const TestHttpServer::Request &request)
    {
        m_server->logRequest(request);
        m_route = m_server->routeFor(request);
        const TestHttpServer::Route &r = m_route;
        if (!r.raw.isNull()) {
            m_state = State::Closing;
            m_socket->write(r.raw);
            m_socket->disconnectFromHost(); // flushes what is queued first
            emit m_server->requestReceived(request.path);
            return;
        }

        const bool head = request.method == "HEAD";
        m_total = r.patternSize >= 0 ? r.patternSize : r.body.size();
        m_limit = head ? 0 : m_total;
        m_stall = !head && r.stallAfter >= 0;
        const bool drop = !head && !m_stall && r.dropAfter >= 0;
        if (m_stall)
            m_limit = std::min(r.stallAfter, m_total);
        else if (drop)
            m_limit = std::min(r.dropAfter, m_total);
        const bool announceClose =
            (!r.sendContentLength && !r.chunked) || r.closeAfterBody || m_clientWantsClose;
        m_closeAfter = announceClose || drop;
        m_dropped = drop;

        QByteArray header =
            "HTTP/1.1 " + QByteArray::number(r.status) + ' ' +
            (r.reason.isEmpty() ? TestHttpServer::reasonPhrase(r.status) : r.reason) + "\r\n";
        if (r.chunked)
            header += "Transfer-Encoding: chunked\r\n";
        else if (r.sendContentLength)
            header += "Content-Length: " + QByteArray::number(m_total) + "\r\n";
        if (!r.location.isEmpty())
            header += "Location: " + r.location + "\r\n";
        if (m_server->m_sendsValidators && r.status >= 200 && r.status < 300)
            header += "ETag: \"" +
                      QByteArray::number(qHash(request.path) ^ r.patternSeed ^ uint(m_total)) +
                      "\"\r\nLast-Modified: Tue, 01 Dec 2026 10:00:00 GMT\r\n";
        for (const auto &h : r.extraHeaders)
            header += h.first + ": " + h.second + "\r\n";
        if (announceClose)
            header += "Connection: close\r\n";
        header += "\r\n";

        m_socket->write(header);
        m_sent = 0;
        m_state = State::Sending;
        if (r.dripChunk > 0) {
            dripTick();
            if (m_state == State::Sending)
                m_drip.start(std::max(0, r.dripIntervalMs));
        } else {
            sendMore();
        }
        emit m_server->requestReceived(request.path);
    }

    // Tops up the socket's write buffer; called again from bytesWritten.
    void sendMore()
    {
        if (m_state != State::Sending || m_route.dripChunk > 0)
            return;
        while (m_sent < m_limit && m_socket->bytesToWrite() < kSlice)
            writeBody(std::min(kSlice, m_limit - m_sent));
        if (m_sent == m_limit)
            finishBody();
    }

    void dripTick()
    {
        if (m_state != State::Sending) {
            m_drip.stop();
            return;
        }
        if (m_sent < m_limit && m_socket->bytesToWrite() < kSlice)
            writeBody(std::min<qint64>(m_route.dripChunk, m_limit - m_sent));
        if (m_sent == m_limit) {
            m_drip.stop();
            finishBody();
        }
    }

    void writeBody(qint64 n)
    {
        if (m_route.chunked) {
            writeChunked(n);
            return;
        }
        writeRaw(n);
    }

    void writeRaw(qint64 n)
    {
        if (m_route.patternSize >= 0)
            m_socket->write(TestHttpServer::patternBytes(m_sent, n, m_route.patternSeed));
        else
            m_socket->write(m_route.body.constData() + m_sent, n);
        m_sent += n;
    }

    // Up to n body bytes with their chunk framing, in one write: a chunk's size line goes out
    // with its first byte and its closing CRLF with its last one.
    void writeChunked(qint64 n)
    {
        const qint64 chunk = std::max(1, m_route.chunkBytes);
        QByteArray out;
        while (n > 0) {
            const qint64 inChunk = m_sent % chunk;
            const qint64 chunkSize = std::min(chunk, m_total - (m_sent - inChunk));
            if (inChunk == 0)
                out += QByteArray::number(chunkSize, 16) + "\r\n";
            const qint64 part = std::min(n, chunkSize - inChunk);
            out += m_route.patternSize >= 0
                       ? TestHttpServer::patternBytes(m_sent, part, m_route.patternSeed)
                       : m_route.body.mid(int(m_sent), int(part));
            m_sent += part;
            n -= part;
            if (inChunk + part == chunkSize) {
                // Before a cut, the chunk's CRLF travels on its own, as from a server that
                // writes the framing apart from the data.
                if (m_dropped && m_sent == m_limit) {
                    m_socket->write(out);
                    m_socket->flush();
                    out.clear();
                }
                out += "\r\n";
            }
        }
        m_socket->write(out);
    }

    void finishBody()
    {
        if (m_route.chunked && m_sent == m_total && !m_stall && !m_dropped)
            m_socket->write("0\r\n\r\n");
        if (m_stall) {
            m_state = State::Stalled;
        } else if (m_closeAfter) {
            m_state = State::Closing;
            m_socket->disconnectFromHost(); // flushes what is queued first
        } else {
            m_state = State::Idle;
            // Queued so that responses (and requestReceived) stay in request order.
            QMetaObject::invokeMethod(
                this, [this] { processBuffer(); }, Qt::QueuedConnection);
        }
    }

    void fail(int status)
    {
        m_state = State::Closing;
        m_socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' +
                        TestHttpServer::reasonPhrase(status) +
                        "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        m_socket->disconnectFromHost();
    }

    TestHttpServer *m_server;
    QTcpSocket *m_socket;
    QTimer m_drip;
    QByteArray m_in;
    State m_state = State::Idle;
    bool m_clientWantsClose = false;

    TestHttpServer::Route m_route;
    qint64 m_total = 0;
    qint64 m_limit = 0; // body bytes this response will actually send
    qint64 m_sent = 0;
    bool m_stall = false;
    bool m_closeAfter = false;
    bool m_dropped = false;
};

QByteArray TestHttpServer::Request::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (qstricmp(h.first.constData(), name.constData()) == 0)
            return h.second;
    }
    return QByteArray();
}

TestHttpServer::TestHttpServer(QObject *parent) : QTcpServer(parent)
{
    connect(this, &QTcpServer::newConnection, this, &TestHttpServer::acceptConnections);
    if (!listen(QHostAddress::LocalHost, 0))
        qWarning("TestHttpServer: cannot listen on 127.0.0.1: %s", qPrintable(errorString()));
}

TestHttpServer::~TestHttpServer()
{
    close();
    const auto sockets = findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly);
    for (QTcpSocket *socket : sockets) {
        socket->disconnect(); // no handlers running against a half-destroyed server
        socket->abort();
        delete socket;
    }
}

QUrl TestHttpServer::url(const QString &path) const
{
    const QString slash = path.startsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/");
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(serverPort()) + slash + path);
}

void TestHttpServer::setRoute(const QString &path, const Route &route)
{
    m_routes.insert(path, route);
}

void TestHttpServer::serve(const QString &path, const QByteArray &body, int status)
{
    Route route;
    route.status = status;
    route.body = body;
    setRoute(path, route);
}

void TestHttpServer::removeRoute(const QString &path)
{
    m_routes.remove(path);
}

int TestHttpServer::hits(const QString &path) const
{
    return m_hits.value(path);
}

QStringList TestHttpServer::requestedPaths() const
{
    QStringList paths;
    for (const Request &request : m_requests)
        paths.append(request.path);
    return paths;
}

void TestHttpServer::clearLog()
{
    m_hits.clear();
    m_requests.clear();
    m_connectionCount = 0;
}

QByteArray TestHttpServer::patternBytes(qint64 offset, qint64 len, quint32 seed)
{
    QByteArray out;
    if (offset < 0 || len <= 0)
        return out;
    out.resize(int(len));
    char *data = out.data();
    // Each 4-byte word is a hash of its index, so any slice can be produced on its own.
    for (qint64 i = 0; i < len;) {
        const quint64 pos = quint64(offset + i);
        const quint64 word = pos >> 2;
        const quint32 value =
            mix32(quint32(word) ^ mix32(seed ^ quint32(word >> 32) ^ 0x9e3779b9U));
        for (int b = int(pos & 3); b < 4 && i < len; ++b, ++i)
            data[i] = char(value >> (8 * b));
    }
    return out;
}

QByteArray TestHttpServer::reasonPhrase(int status)
{
    static const QHash<int, QByteArray> phrases = {
        {200, "OK"},
        {201, "Created"},
        {204, "No Content"},
        {206, "Partial Content"},
        {301, "Moved Permanently"},
        {302, "Found"},
        {303, "See Other"},
        {304, "Not Modified"},
        {307, "Temporary Redirect"},
        {308, "Permanent Redirect"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {416, "Range Not Satisfiable"},
        {431, "Request Header Fields Too Large"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
    };
    return phrases.value(status, "Status");
}

TestHttpServer::Route TestHttpServer::routeFor(const Request &request) const
{
    const auto it = m_routes.constFind(request.path);
    if (it != m_routes.constEnd()) {
        Route route = *it;
        if (route.adapt)
            route.adapt(request, &route);
        return route;
    }
    Route notFound;
    notFound.status = 404;
    notFound.body = "Not found\n";
    return notFound;
}

void TestHttpServer::logRequest(const Request &request)
{
    m_requests.append(request);
    ++m_hits[request.path];
}

void TestHttpServer::acceptConnections()
{
    while (QTcpSocket *socket = nextPendingConnection()) {
        ++m_connectionCount;
        new TestHttpConnection(this, socket);
    }
}
