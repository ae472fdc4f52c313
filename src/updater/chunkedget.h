#pragma once

#include "httpresponsehead.h"

#include <QByteArray>
#include <QIODevice>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

class QNetworkAccessManager;
class QTcpSocket;

// A plain HTTP/1.1 GET whose body the launcher decodes itself. Used for replies that come with
// "Transfer-Encoding: chunked": Qt 5.15 can take such a body for complete when the connection
// closes right after a chunk, without its last (zero-length) chunk, or wait for the stall
// time-out instead of failing. Here a body counts as complete only with its last chunk (or all
// of its Content-Length); anything less is an error, at once.
//
// The reply is read strictly, by HttpResponseHead: whatever it cannot read fails the transfer
// rather than being guessed at.
//
// It goes through the proxy that `network` would use for the URL: an HTTP proxy is sent an
// absolute-form GET for http:// URLs (as the manager does) and a CONNECT for https:// ones. It
// sends what the manager sent for the same request: its headers, the manager's defaults for
// User-Agent and Accept-Language, the cookies of its jar, and the URL's credentials once the
// server asks for them (Basic). A body that only the connection's close ends is read to the
// close, as the manager reads it.
//
// The decoded body is read like a reply's: readyRead(), downloadProgress(), finished().
class ChunkedGet : public QIODevice
{
    Q_OBJECT

public:
    // `network` is not owned; null means a direct connection.
    ChunkedGet(const QNetworkRequest &request, QNetworkAccessManager *network, int stallTimeoutMs,
               qint64 bufferBytes, QObject *parent = nullptr);
    ~ChunkedGet() override;

    void start();
    void abortTransfer();

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

    QUrl url() const { return target; }
    int status() const { return head.status(); }
    // Empty when the whole body arrived.
    QString problem() const { return failure; }

signals:
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void finished();

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    enum class State { StatusLine, Headers, ChunkSize, ChunkData, ChunkEnd, Trailers, Body, Done };

    void connectSocket();
    void sendRequest();
    QByteArray managerHeaders() const;
    bool answerChallenge();
    void process();
    bool step();
    bool takeLine(QByteArray *line);
    bool accepted(bool read);
    bool headersEnd();
    void appendBody(const QByteArray &bytes);
    void socketClosed();
    void malformed(const char *what);
    void fail(const QString &problem);
    void complete();

    QUrl target;
    QNetworkRequest request;
    QByteArray authorization; // sent once the server asked for credentials
    QPointer<QNetworkAccessManager> network;
    // An HTTP proxy that is sent the absolute-form request; NoProxy otherwise.
    QNetworkProxy forwardProxy{QNetworkProxy::NoProxy};
    QTcpSocket *socket = nullptr;
    QTimer stall;
    qint64 bufferBytes;
    QByteArray in;
    QByteArray decoded;
    State state = State::StatusLine;
    HttpResponseHead head;
    qint64 left = 0; // of the current chunk, or of the Content-Length (-1: up to the close)
    qint64 received = 0;
    QString failure;
    bool closed = false;
    bool ended = false;
};
