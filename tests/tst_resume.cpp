#include "downloadtest.h"
#include "updater/resume.h"

#include <QRegularExpression>
#include <QtTest>

using namespace UpdaterTest;

// Continuing a transfer that broke off, within a run and across starts.
class TestResume : public DownloadSuite
{
    Q_OBJECT

private slots:
    void init() { setUp(); }
    void cleanup() { tearDown(); }
    void resume_data();
    void resume();
    void partialFileHoldsAllThatArrived();
    void rangeAnswers_data();
    void rangeAnswers();
};

void TestResume::resume_data()
{
    QTest::addColumn<int>("partial");      // bytes of a partial file kept by an earlier start
    QTest::addColumn<bool>("stall");       // the first transfer stalls after 100000 bytes
    QTest::addColumn<int>("status");       // the answer to the Range request
    QTest::addColumn<QByteArray>("range"); // its Content-Range
    QTest::addColumn<bool>("saved");
    QTest::addColumn<QString>("line");  // a log line that starts so
    QTest::addColumn<QString>("twist"); // what else is hostile
    QTest::newRow("continued where it broke off")
        << 0 << true << 206 << QByteArray("bytes 100000-299999/300000") << true << "Transfer of "
        << QString();
    QTest::newRow("Content-Range elsewhere")
        << 0 << true << 206 << QByteArray("bytes 0-299999/300000") << false
        << "Error:  " << QString();
    QTest::newRow("Content-Range with another total")
        << 0 << true << 206 << QByteArray("bytes 100000-300000/300001") << false
        << "Error:  " << QString();
    QTest::newRow("Range ignored: from the start")
        << 0 << true << 200 << QByteArray() << true << "The server sends all of " << QString();
    QTest::newRow("kept partial file continued")
        << 100000 << false << 206 << QByteArray("bytes 100000-299999/300000") << true << "Resuming "
        << QString();
    QTest::newRow("kept partial file longer than the file")
        << 400000 << false << 200 << QByteArray() << true << "Not resuming " << QString();
    // Kept and server-supplied values that would break a request or a sum.
    QTest::newRow("kept validator with a bare CR")
        << 100000 << false << 200 << QByteArray() << true << "Saved!"
        << "CR";
    QTest::newRow("206 with an absurd Content-Length")
        << 0 << true << 206 << QByteArray("bytes 100000-299999/300000") << false << "Error:  "
        << "length";
}

// A transfer cut short goes on with a Range request guarded by If-Range; the answer must
// continue exactly where it was asked, and the finished file is verified.
void TestResume::resume()
{
    QFETCH(int, partial);
    QFETCH(bool, stall);
    QFETCH(int, status);
    QFETCH(QByteArray, range);
    QFETCH(QString, twist);
    qputenv("EMBERCREST_TRANSFER_TIMEOUT_MS", "300");
    const QByteArray whole = TestHttpServer::patternBytes(0, 300000, 3);
    const QString target = client + "/Data/ruRU/r.bin";
    QVERIFY(writeFile(target, "old"));
    if (partial) {
        QVERIFY(writeFile(target + ".partial", whole.left(qMin(partial, 300000)) +
                                                   QByteArray(qMax(0, partial - 300000), 'x')));
        const QByteArray validator = twist == "CR" ? "\"v1\r\"" : "\"v1\"";
        QVERIFY(writeFile(target + ".partial.info",
                          url("/r.bin").toUtf8() + "\n" + validator + "\n300000\n"));
    }
    TestHttpServer::Route first;
    first.patternSize = 300000;
    first.patternSeed = 3;
    first.stallAfter = stall ? 100000 : -1;
    first.extraHeaders = {{"ETag", "\"v1\""}};
    TestHttpServer::Route second;
    second.status = status;
    second.body = status == 206 ? whole.mid(100000) : whole;
    second.extraHeaders = {{"ETag", "\"v1\""}};
    if (!range.isEmpty())
        second.extraHeaders.append({"Content-Range", range});
    if (twist == "length")
        second.raw = "HTTP/1.1 206 Partial Content\r\nETag: \"v1\"\r\nContent-Range: " + range +
                     "\r\nContent-Length: 9223372036854775807\r\n\r\n" + second.body;
    server->setRoute("/r.bin", partial ? second : first);
    connect(server, &TestHttpServer::requestReceived, this, [&](const QString &path) {
        if (path == "/r.bin")
            server->setRoute(path, second);
    });
    QJsonObject manifest =
        QJsonDocument::fromJson(manifestJson("1.1", {{"ruRU", {url("/r.bin")}}})).object();
    manifest.insert(
        "integrity",
        QJsonObject{
            {url("/r.bin"),
             QJsonObject{
                 {"size", 300000},
                 {"sha256",
                  QString::fromLatin1(
                      QCryptographicHash::hash(whole, QCryptographicHash::Sha256).toHex())}}}});
    server->serve(kManifestPath, QJsonDocument(manifest).toJson());

    Run run;
    QVERIFY(run.waitForEnd());
    QFETCH(bool, saved);
    QCOMPARE(run.done.count(), int(saved));
    QCOMPARE(readFile(target), saved ? whole : QByteArray("old"));
    QCOMPARE(filesBelow(client + "/Data/ruRU"), QStringList{"r.bin"});
    QFETCH(QString, line);
    QVERIFY2(!run.capture.lines()
                  .filter(QRegularExpression("^" + QRegularExpression::escape(line)))
                  .isEmpty(),
             qPrintable(run.capture.lines().join('\n')));
    if (twist == "length")
        return; // the length is refused, whatever is asked for afterwards
    const TestHttpServer::Request last = server->requests().last();
    if (stall || (partial == 100000 && twist.isEmpty())) {
        QCOMPARE(last.header("Range"), QByteArray("bytes=100000-"));
        QCOMPARE(last.header("If-Range"), QByteArray("\"v1\""));
    } else {
        QVERIFY(last.header("Range").isNull());
    }
}

// A launcher killed while a big file waits for more leaves on disk all that arrived: the next
// start continues from there, and asks for no byte it had already.
void TestResume::partialFileHoldsAllThatArrived()
{
    const qint64 size = Resume::kKeepAcrossStartsBytes + 1;
    TestHttpServer::Route route;
    route.patternSize = size;
    route.patternSeed = 3;
    route.stallAfter = 5000; // a few kilobytes, less than any write buffer holds
    route.extraHeaders = {{"ETag", "\"v1\""}};
    server->setRoute("/r.bin", route);
    server->serve(kManifestPath,
                  withIntegrity(manifestJson("1.1", {{"ruRU", {url("/r.bin")}}}),
                                {{url("/r.bin"), TestHttpServer::patternBytes(0, size, 3)}}));

    Run run;
    const QString partial = client + "/Data/ruRU/r.bin.partial";
    QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(partial).size(), qint64(5000), 10000);
    QCOMPARE(readFile(partial), TestHttpServer::patternBytes(0, 5000, 3));
}

void TestResume::rangeAnswers_data()
{
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<QByteArray>("answered"); // the validator the 206 carries
    QTest::addColumn<QByteArray>("sent");     // the one sent in If-Range
    QTest::addColumn<bool>("continues");
    // Asked for: from byte 100000 of 300000.
    QTest::newRow("the range asked for") << QByteArray("bytes 100000-299999/300000")
                                         << QByteArray("\"v1\"") << QByteArray("\"v1\"") << true;
    QTest::newRow("starts elsewhere") << QByteArray("bytes 0-299999/300000") << QByteArray("\"v1\"")
                                      << QByteArray("\"v1\"") << false;
    QTest::newRow("another total") << QByteArray("bytes 100000-300000/300001")
                                   << QByteArray("\"v1\"") << QByteArray("\"v1\"") << false;
    QTest::newRow("stops before the end") << QByteArray("bytes 100000-199999/300000")
                                          << QByteArray("\"v1\"") << QByteArray("\"v1\"") << false;
    QTest::newRow("another validator") << QByteArray("bytes 100000-299999/300000")
                                       << QByteArray("\"v2\"") << QByteArray("\"v1\"") << false;
    // Without If-Range nothing says it is still the same file.
    QTest::newRow("no validator either way")
        << QByteArray("bytes 100000-299999/300000") << QByteArray() << QByteArray() << false;
}

// The answer to a Range request, on its own: only the same file from the first missing byte to
// its last one continues a partial file.
void TestResume::rangeAnswers()
{
    QFETCH(QByteArray, contentRange);
    QFETCH(QByteArray, answered);
    QFETCH(QByteArray, sent);
    QFETCH(bool, continues);
    const QString problem = Resume::rangeProblem(contentRange, answered, 100000, 300000, sent);
    QVERIFY2(problem.isEmpty() == continues, qPrintable(problem));
    if (!continues)
        QVERIFY(problem.contains(QString::fromLatin1(contentRange)));
}

QTEST_GUILESS_MAIN(TestResume)
#include "tst_resume.moc"
