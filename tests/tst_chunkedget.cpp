#include "testhttpserver.h"
#include "updater/chunkedget.h"
#include "updater/httpresponsehead.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QtTest>

#include <limits>

// The launcher's own reader of chunked replies, against raw replies from the test server.
class TestChunkedGet : public QObject
{
    Q_OBJECT

private slots:
    void readsOnlyWellFormedReplies_data();
    void readsOnlyWellFormedReplies();
    void goesThroughTheManagersProxy_data();
    void goesThroughTheManagersProxy();
    void chunkSizeLines_data();
    void chunkSizeLines();
};

namespace {

const QByteArray kChunked = "Transfer-Encoding: chunked\r\n";
const QByteArray kBody = "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n";

QByteArray reply(const QByteArray &statusLine, const QByteArray &headers, const QByteArray &body)
{
    return statusLine + "\r\n" + headers + "\r\n" + body;
}

// `count` header lines of their own.
QByteArray fillerHeaders(int count)
{
    QByteArray lines;
    for (int i = 0; i < count; ++i)
        lines += "X-Filler-" + QByteArray::number(i) + ": " + QByteArray::number(i) + "\r\n";
    return lines;
}

// A header line of `length` bytes without its CRLF.
QByteArray headerOfLength(int length)
{
    return "X-Long: " + QByteArray(length - 8, 'a') + "\r\n";
}

// Answers every query with the same proxy.
class OneProxy : public QNetworkProxyFactory
{
public:
    explicit OneProxy(const QNetworkProxy &proxy) : proxy(proxy) {}
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &) override { return {proxy}; }

private:
    QNetworkProxy proxy;
};

struct Outcome
{
    bool finished = false;
    QByteArray body;
    QString problem;
};

Outcome fetch(const QUrl &url, QNetworkAccessManager *network)
{
    Outcome outcome;
    ChunkedGet get(QNetworkRequest(url), network, 10000, 1 << 20);
    QObject::connect(&get, &QIODevice::readyRead, [&] { outcome.body += get.readAll(); });
    QSignalSpy finished(&get, SIGNAL(finished()));
    get.start();
    outcome.finished = finished.wait(20000);
    outcome.body += get.readAll();
    outcome.problem = get.problem();
    return outcome;
}

} // namespace

void TestChunkedGet::readsOnlyWellFormedReplies_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QByteArray>("body"); // null: the transfer fails
    const QByteArray ok = "HTTP/1.1 200 OK";
    const QByteArray fails;

    // Extensions and trailers are skipped; a line of 8 KiB and 100 header lines are allowed.
    QTest::newRow("chunk extensions, trailers, the longest line, the most lines")
        << reply(ok, "Transfer-Encoding:  Chunked \r\n" + headerOfLength(8192) + fillerHeaders(98),
                 "5;name=value\r\nhello\r\n6 ;x\r\n world\r\n0;last\r\nChecksum: abc\r\n"
                 "X-Trailer: 1\r\n\r\n")
        << QByteArray("hello world");
    // Repeats of one value leave no doubt about where the body ends.
    QTest::newRow("one Content-Length, repeated")
        << reply(ok, "Content-Length: 11, 11\r\nContent-Length: 11\r\n", "hello world")
        << QByteArray("hello world");

    QTest::newRow("chunk size -0") << reply(ok, kChunked, "5\r\nhello\r\n-0\r\n\r\n") << fails;
    QTest::newRow("chunk size +5") << reply(ok, kChunked, "+5\r\nhello\r\n0\r\n\r\n") << fails;
    QTest::newRow("chunk size 0x5") << reply(ok, kChunked, "0x5\r\nhello\r\n0\r\n\r\n") << fails;
    QTest::newRow("chunk size after a space")
        << reply(ok, kChunked, " 5\r\nhello\r\n0\r\n\r\n") << fails;
    QTest::newRow("chunk size of 17 digits")
        << reply(ok, kChunked, "00000000000000005\r\nhello\r\n0\r\n\r\n") << fails;
    QTest::newRow("Transfer-Encoding notchunked")
        << reply(ok, "Transfer-Encoding: notchunked\r\n", kBody) << fails;
    QTest::newRow("Transfer-Encoding gzip, chunked")
        << reply(ok, "Transfer-Encoding: gzip, chunked\r\n", kBody) << fails;
    QTest::newRow("Transfer-Encoding beside Content-Length")
        << reply(ok, kChunked + "Content-Length: 11\r\n", kBody) << fails;
    QTest::newRow("two different Content-Lengths")
        << reply(ok, "Content-Length: 11\r\nContent-Length: 5\r\n", "hello world") << fails;
    QTest::newRow("Content-Length with a sign")
        << reply(ok, "Content-Length: +11\r\n", "hello world") << fails;
    QTest::newRow("status 2000") << reply("HTTP/1.1 2000 OK", kChunked, kBody) << fails;
    QTest::newRow("folded header line")
        << reply(ok, kChunked + "X-Note: a\r\n\tb: c\r\n", kBody) << fails;
    QTest::newRow("bare LF inside a header line")
        << reply(ok, kChunked + "X-Note: a\nb: c\r\n", kBody) << fails;
    QTest::newRow("header line over 8 KiB")
        << reply(ok, kChunked + headerOfLength(8193), kBody) << fails;
    QTest::newRow("status line over 8 KiB")
        << reply("HTTP/1.1 200 " + QByteArray(8192 - 12, 'a'), kChunked, kBody) << fails;
    QTest::newRow("101 header lines") << reply(ok, kChunked + fillerHeaders(100), kBody) << fails;
    // Read to the close, as the manager reads it: a server may answer chunked to the manager's
    // request and close-framed to this one's "Connection: close".
    QTest::newRow("body without a length, ended by the close")
        << reply(ok, "Connection: close\r\n", "abc") << QByteArray("abc");
}

void TestChunkedGet::readsOnlyWellFormedReplies()
{
    QFETCH(QByteArray, raw);
    QFETCH(QByteArray, body);
    TestHttpServer server;
    TestHttpServer::Route route;
    route.raw = raw;
    server.setRoute("/file", route);

    const Outcome outcome = fetch(server.url("/file"), nullptr);
    QVERIFY(outcome.finished);
    QCOMPARE(server.hits("/file"), 1);
    QCOMPARE(outcome.problem.isEmpty(), !body.isNull());
    if (!body.isNull())
        QCOMPARE(outcome.body, body);
}

void TestChunkedGet::goesThroughTheManagersProxy_data()
{
    QTest::addColumn<bool>("fromFactory"); // the manager's proxy factory, or its own proxy
    QTest::newRow("manager's HTTP proxy, with a user") << false;
    QTest::newRow("manager's proxy factory") << true;
}

// An HTTP proxy is sent the absolute-form GET (this one refuses CONNECT), as the network
// manager would send it. (Proxies set for the whole application are never asked for 127.0.0.1.)
void TestChunkedGet::goesThroughTheManagersProxy()
{
    QFETCH(bool, fromFactory);
    TestHttpServer origin;
    TestHttpServer proxyServer; // answers "GET http://..." and nothing else (CONNECT: 404)
    TestHttpServer::Route route;
    route.chunked = true;
    route.body = "from the origin";
    origin.setRoute("/file", route);
    route.body = "from the proxy";
    proxyServer.setRoute("/file", route);

    QNetworkProxy proxy(QNetworkProxy::HttpProxy, "127.0.0.1", proxyServer.serverPort());
    QNetworkAccessManager network;
    if (fromFactory) {
        network.setProxyFactory(new OneProxy(proxy));
    } else {
        proxy.setUser("player");
        proxy.setPassword("secret");
        network.setProxy(proxy);
    }

    const QUrl url = origin.url("/file?x=1");
    const Outcome outcome = fetch(url, &network);
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.problem, QString());
    QCOMPARE(outcome.body, QByteArray("from the proxy"));
    QCOMPARE(origin.requests().size(), 0);
    QCOMPARE(proxyServer.requests().size(), 1);
    const TestHttpServer::Request request = proxyServer.requests().constFirst();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.target, url.toEncoded());
    QCOMPARE(request.header("Host"), url.authority().toLatin1());
    QCOMPARE(request.header("Proxy-Authorization"),
             fromFactory ? QByteArray() : "Basic " + QByteArray("player:secret").toBase64());
}

void TestChunkedGet::chunkSizeLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<qint64>("size"); // -1: refused
    QTest::newRow("largest size") << QByteArray("7fffffffffffffff")
                                  << std::numeric_limits<qint64>::max();
    // Sixteen digits, but past what a size can hold: it would turn negative.
    QTest::newRow("one past the largest") << QByteArray("8000000000000000") << qint64(-1);
    QTest::newRow("more after a space") << QByteArray("5 5") << qint64(-1);
}

// The chunk-size line on its own, with sizes no test server could send a body for.
void TestChunkedGet::chunkSizeLines()
{
    QFETCH(QByteArray, line);
    QFETCH(qint64, size);
    HttpResponseHead head;
    qint64 read = -1;
    const bool taken = head.chunkSizeLine(line, &read);
    QCOMPARE(taken, size >= 0);
    if (taken)
        QCOMPARE(read, size);
    else
        QVERIFY(head.problem());
}

QTEST_MAIN(TestChunkedGet)
#include "tst_chunkedget.moc"
