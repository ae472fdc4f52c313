#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QUrl>

#include <functional>

// A scriptable HTTP/1.1 server for tests. It listens on 127.0.0.1 only, on a free port chosen by
// the OS, and runs entirely on the event loop of the thread that created it (no threads, no
// blocking waits).
//
// Paths: routes, hits() and requestedPaths() all use the *decoded* path of the request target,
// without query string, e.g. a request for "/files/a%20b.bin?x=1" is matched and logged as
// "/files/a b.bin". The exact target as sent is available in Request::target.
//
// Connections are kept alive between requests unless the client asks otherwise or the route
// needs the close to delimit or break the response. Pipelined requests are answered in order.
class TestHttpServer : public QTcpServer
{
    Q_OBJECT
public:
    using HeaderList = QList<QPair<QByteArray, QByteArray>>;

    struct Request;
    struct Route
    {
        int status = 200;
        QByteArray reason; // empty: standard phrase for status
        QByteArray body;
        HeaderList extraHeaders;
        QByteArray location; // sent as Location header verbatim when non-empty

        // When >= 0 the body is patternBytes(0, patternSize, patternSeed) instead of `body`,
        // generated slice by slice so big bodies are never held in memory.
        qint64 patternSize = -1;
        quint32 patternSeed = 0;

        // false: no Content-Length; the body is delimited by closing the connection
        // ("Connection: close" is sent).
        bool sendContentLength = true;

        // dripChunk > 0: the body goes out dripChunk bytes at a time, the first chunk right
        // after the headers, then one every dripIntervalMs.
        int dripChunk = 0;
        int dripIntervalMs = 0;

        // stallAfter >= 0: send the headers and at most that many body bytes, then stay silent
        // with the connection open. Takes precedence over dropAfter.
        qint64 stallAfter = -1;
        // dropAfter >= 0: announce the full Content-Length, send at most that many body bytes,
        // then close the connection once they are flushed. QNetworkAccessManager (5.15) sometimes
        // reports such a truncated reply as NoError, so code under test must compare sizes.
        // With `chunked`, the connection is closed after that many body bytes instead of the
        // last (zero-length) chunk: inside a chunk, or right after one that ends there.
        qint64 dropAfter = -1;

        // true: "Transfer-Encoding: chunked" (no Content-Length), the body in chunks of
        // chunkBytes (the last one shorter), then the zero-length chunk.
        bool chunked = false;
        int chunkBytes = 64 * 1024;

        // Send "Connection: close" and close the connection once the whole body is out.
        bool closeAfterBody = false;

        // Set: tailors this route to each request before it is answered (a server that looks
        // at the request's headers).
        std::function<void(const Request &request, Route *route)> adapt;

        // Not null: the whole response, status line and headers included, written exactly as it
        // stands (for replies no sound server sends); the connection is closed after it. The
        // other fields are ignored then.
        QByteArray raw;
    };

    struct Request
    {
        QByteArray method;
        QByteArray target; // request-target exactly as sent
        QString path;      // decoded path, no query
        HeaderList headers;
        QByteArray body;

        // Value of the first header named `name` (case-insensitive), or a null QByteArray.
        QByteArray header(const QByteArray &name) const;
    };

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    // http://127.0.0.1:<port><path>; `path` may carry a query string.
    QUrl url(const QString &path) const;

    // Every 2xx response also carries an ETag and a Last-Modified, as common web servers send.
    void setSendsValidators(bool on) { m_sendsValidators = on; }

    void setRoute(const QString &path, const Route &route);
    void serve(const QString &path, const QByteArray &body, int status = 200);
    void removeRoute(const QString &path);

    int hits(const QString &path) const;
    QStringList requestedPaths() const;
    QList<Request> requests() const { return m_requests; }
    int connectionCount() const { return m_connectionCount; }
    void clearLog();

    // Deterministic bytes for Route::patternSize bodies: the slice [offset, offset + len) of the
    // stream selected by `seed`.
    static QByteArray patternBytes(qint64 offset, qint64 len, quint32 seed);
    static QByteArray reasonPhrase(int status);

signals:
    // Emitted once the response to the request has been started.
    void requestReceived(const QString &path);

private:
    friend class TestHttpConnection;

    Route routeFor(const Request &request) const;
    void logRequest(const Request &request);
    void acceptConnections();

    QHash<QString, Route> m_routes;
    QHash<QString, int> m_hits;
    QList<Request> m_requests;
    int m_connectionCount = 0;
    bool m_sendsValidators = false;
};
