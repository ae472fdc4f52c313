#include "chunkedget.h"

#include <QTcpSocket>
#ifndef QT_NO_SSL
#include <QSslSocket>
#endif

#include <cstring>

namespace {

constexpr int kMaxLine = 64 * 1024;

} // namespace

ChunkedGet::ChunkedGet(const QUrl &url, int stallTimeoutMs, qint64 bufferBytes, QObject *parent)
    : QIODevice(parent), target(url), bufferBytes(bufferBytes)
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
    socket->connectToHost(target.host(), port);
    stall.start();
}

void ChunkedGet::sendRequest()
{
    QByteArray path = target.path(QUrl::FullyEncoded).toLatin1();
    if (path.isEmpty())
        path = "/";
    if (target.hasQuery())
        path += '?' + target.query(QUrl::FullyEncoded).toLatin1();
    QUrl authority = target;
    authority.setUserInfo(QString());
    socket->write("GET " + path +
                  " HTTP/1.1\r\nHost: " + authority.authority(QUrl::FullyEncoded).toLatin1() +
                  "\r\nAccept-Encoding: identity\r\nConnection: close\r\n\r\n");
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

bool ChunkedGet::takeLine(QByteArray *line)
{
    const int end = in.indexOf("\r\n");
    if (end < 0) {
        if (in.size() > kMaxLine)
            fail(QStringLiteral("Malformed reply from the server"));
        return false;
    }
    *line = in.left(end);
    in.remove(0, end + 2);
    return true;
}

// False when the reply cannot be read on.
bool ChunkedGet::headerLine(const QByteArray &line)
{
    const int colon = line.indexOf(':');
    if (colon <= 0)
        return false;
    const QByteArray name = line.left(colon).trimmed().toLower();
    const QByteArray value = line.mid(colon + 1).trimmed();
    if (name == "transfer-encoding" && value.toLower().contains("chunked"))
        chunked = true;
    if (name == "content-length") {
        bool ok = false;
        contentLength = value.toLongLong(&ok);
        if (!ok || contentLength < 0)
            return false;
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
    if (!ended && closed && socket->bytesAvailable() == 0 && decoded.size() < bufferBytes) {
        // Nothing more will come: the end of a body that has no other end, a cut otherwise.
        if (state == State::Body && contentLength < 0)
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
        if (!takeLine(&line))
            return false;
        if (!line.startsWith("HTTP/1.") || line.size() < 12) {
            fail(QStringLiteral("Malformed reply from the server"));
            return false;
        }
        statusCode = line.mid(9, 3).toInt();
        reason = line.mid(13);
        state = State::Headers;
        return true;
    case State::Headers:
        if (!takeLine(&line))
            return false;
        if (!line.isEmpty()) {
            if (headerLine(line))
                return true;
            fail(QStringLiteral("Malformed reply from the server"));
            return false;
        }
        if (statusCode < 200 || statusCode > 299) {
            fail(QStringLiteral("Error transferring %1 - server replied: %2")
                     .arg(target.toString(), QString::fromLatin1(reason)));
            return false;
        }
        state = chunked ? State::ChunkSize : State::Body;
        left = contentLength;
        if (!chunked && left == 0)
            complete();
        return !ended;
    case State::ChunkSize: {
        if (!takeLine(&line))
            return false;
        const int extension = line.indexOf(';');
        bool ok = false;
        left = (extension < 0 ? line : line.left(extension)).trimmed().toLongLong(&ok, 16);
        if (!ok || left < 0) {
            fail(QStringLiteral("Malformed chunk in the reply"));
            return false;
        }
        state = left == 0 ? State::Trailers : State::ChunkData;
        return true;
    }
    case State::ChunkData:
    case State::Body: {
        if (in.isEmpty())
            return false;
        const qint64 take = left < 0 ? in.size() : qMin<qint64>(left, in.size());
        const QByteArray part = in.left(int(take));
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
            fail(QStringLiteral("Malformed chunk in the reply"));
            return false;
        }
        state = State::ChunkSize;
        return true;
    case State::Trailers:
        if (!takeLine(&line))
            return false;
        if (line.isEmpty())
            complete();
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
