#include "downloadtest.h"

#include <QtTest>

using namespace UpdaterTest;

namespace {

// 1 MiB dripped in steps of 128 KiB: still on its way while a re-check comes and goes.
TestHttpServer::Route slowMiB()
{
    TestHttpServer::Route slow;
    slow.patternSize = 1 << 20;
    slow.dripChunk = 128 * 1024;
    slow.dripIntervalMs = 20;
    return slow;
}

} // namespace

// Runs and re-checks meeting each other, and two launchers on one client.
class TestConcurrency : public DownloadSuite
{
    Q_OBJECT

private slots:
    void init() { setUp(); }
    void cleanup() { tearDown(); }
    void recheckDuringRun_data();
    void recheckDuringRun();
    void newerVersionFoundWhileTheRunEnds();
    void recheckKeepsWhatQueuedFilesMustBe();
    void newerManifestRebindsWaitingFiles();
    void emptyAppendWhileAFileIsOnItsWay();
    void appendWhileTheRunIsFlushed();
    void twoLaunchersInOneFolder();
};

void TestConcurrency::recheckDuringRun_data()
{
    QTest::addColumn<QStringList>("files");
    // "path@saved": each file request, with the number of files saved before it came.
    QTest::addColumn<QStringList>("fetches");
    // The new manifest arrives only after a.bin's reply, which must not be taken for it: the
    // run ends first, and the manifest then finds the client up to date.
    QTest::addColumn<bool>("slowManifest");
    QTest::newRow("last file in transfer")
        << QStringList{"/a.bin"} << QStringList{"/a.bin@0", "/a.bin@1"} << false;
    QTest::newRow("another file waiting")
        << QStringList{"/a.bin", "/b.bin"} << QStringList{"/a.bin@0", "/b.bin@1", "/a.bin@2"}
        << false;
    QTest::newRow("file reply while the check is due")
        << QStringList{"/a.bin"} << QStringList{"/a.bin@0"} << true;
}

// CheckUpdates() while /a.bin is on its way: the new manifest is read, the file replies are
// not; a.bin is fetched again only after its transfer ended, and a file already waiting is not
// queued twice.
void TestConcurrency::recheckDuringRun()
{
    QFETCH(QStringList, files);
    QStringList urls;
    for (const QString &path : files) {
        TestHttpServer::Route route;
        route.patternSize = 1 << 20;
        route.patternSeed = quint32(path.size() + path.at(1).unicode());
        if (path == "/a.bin") {
            route.dripChunk = 64 * 1024;
            route.dripIntervalMs = 20;
        }
        server->setRoute(path, route);
        urls << url(path);
    }
    publish({{"ruRU", urls}});

    Run run;
    QStringList fetches;
    connect(server, &TestHttpServer::requestReceived, this, [&](const QString &path) {
        if (path != kManifestPath)
            fetches << path + "@" +
                           QString::number(linesEqualTo(run.capture.lines(), "Saved!").size());
    });
    QVERIFY(run.progress.wait());
    QFETCH(bool, slowManifest);
    if (slowManifest) {
        TestHttpServer::Route manifest;
        manifest.body = manifestJson("1.1", {{"ruRU", urls}});
        manifest.dripChunk = 16;
        manifest.dripIntervalMs = 100;
        server->setRoute(kManifestPath, manifest);
    }
    QSignalSpy upToDate(&run.updater, SIGNAL(UpdatesChecked()));
    run.updater.CheckUpdates();
    QTRY_VERIFY_WITH_TIMEOUT(
        run.done.count() == 1 && linesEqualTo(run.capture.lines(), kReading).size() == 2, 20000);

    QTEST(fetches, "fetches");
    QCOMPARE(upToDate.count(), slowManifest ? 1 : 0);
    QCOMPARE(linesEqualTo(run.capture.lines(), kLeftAlone).size(), fetches.size());
    QVERIFY(run.capture.contains(
        QStringLiteral("%1 / %1 files downloaded successfully").arg(fetches.size())));
    for (const QString &path : files) {
        QVERIFY(samePattern(client + "/Data/ruRU" + path, 1 << 20,
                            quint32(path.size() + path.at(1).unicode())));
    }
    QCOMPARE(run.failed.count(), 0);
}

// A re-check during a run announces 1.2 and lists one more file; its append() comes only after
// the run of 1.1 has ended. That run records 1.1, not 1.2, and the new file waits for the
// re-check's own append().
void TestConcurrency::newerVersionFoundWhileTheRunEnds()
{
    server->setRoute("/a.bin", slowMiB());
    server->serve("/b.bin", "b");
    publish({{"ruRU", {url("/a.bin")}}});

    Run run;
    QVERIFY(run.progress.wait());
    server->serve(kManifestPath, manifestJson("1.2", {{"ruRU", {url("/a.bin"), url("/b.bin")}}}));
    qputenv("EMBERCREST_DELAY_MS", "1500");
    run.updater.CheckUpdates();
    QTRY_COMPARE_WITH_TIMEOUT(linesEqualTo(run.capture.lines(), kReading).size(), 2, 10000);
    qputenv("EMBERCREST_DELAY_MS", "0");
    // The first run may have ended already, while the reading was awaited (a slow machine).
    QTRY_COMPARE_WITH_TIMEOUT(run.done.count(), 1, 10000);
    QCOMPARE(Config::ReadSetting("ClientVersion", "WOTLK"), QStringLiteral("1.1"));
    QCOMPARE(server->hits("/b.bin"), 0);

    QTRY_COMPARE_WITH_TIMEOUT(run.done.count(), 2, 10000);
    QCOMPARE(readFile(client + "/Data/ruRU/b.bin"), QByteArray("b"));
    QCOMPARE(Config::ReadSetting("ClientVersion", "WOTLK"), QStringLiteral("1.2"));
    QCOMPARE(run.failed.count(), 0);
}

// A re-check during a run brings an older manifest that no longer lists a waiting file: that
// file is still checked against what the manifest that queued it says.
void TestConcurrency::recheckKeepsWhatQueuedFilesMustBe()
{
    server->setRoute("/a.bin", slowMiB());
    server->serve("/x.bin", "FORGED x");
    const QByteArray a = TestHttpServer::patternBytes(0, 1 << 20, 0);
    server->serve(kManifestPath,
                  withIntegrity(manifestJson("1.2", {{"ruRU", {url("/a.bin"), url("/x.bin")}}}),
                                {{url("/a.bin"), a}, {url("/x.bin"), "GENUINE!"}}));
    const QString x = client + "/Data/ruRU/x.bin";
    QVERIFY(writeFile(x, "old x"));

    Run run;
    QVERIFY(run.progress.wait());
    server->serve(kManifestPath, withIntegrity(manifestJson("1.1", {{"ruRU", {url("/a.bin")}}}),
                                               {{url("/a.bin"), a}}));
    run.updater.CheckUpdates();
    QVERIFY(run.waitForEnd());
    QCOMPARE(readFile(x), QByteArray("old x"));
    QCOMPARE(run.failed.count(), 1);
    QCOMPARE(Config::ReadSetting("ClientVersion", "WOTLK"), QStringLiteral("1.0"));
}

// A re-check that brings a newer manifest while f.bin waits: f.bin is fetched as the newer one
// lists it, and the run records the newer version only with that file in place.
void TestConcurrency::newerManifestRebindsWaitingFiles()
{
    TestHttpServer::Route slow = slowMiB();
    slow.dripIntervalMs = 200; // 1.6 s: the re-check's queue comes long before its end
    server->setRoute("/a.bin", slow);
    server->serve("/f.bin", "f of 1.2");
    const QByteArray a = TestHttpServer::patternBytes(0, 1 << 20, 0);
    const auto manifest = [&](const char *version, const QByteArray &f) {
        return withIntegrity(manifestJson(version, {{"ruRU", {url("/a.bin"), url("/f.bin")}}}),
                             {{url("/a.bin"), a}, {url("/f.bin"), f}});
    };
    server->serve(kManifestPath, manifest("1.2", "f of 1.2"));

    Run run;
    QVERIFY(run.progress.wait());
    server->serve(kManifestPath, manifest("1.3", "f of 1.3"));
    server->serve("/f.bin", "f of 1.3");
    run.updater.CheckUpdates();
    QTRY_VERIFY_WITH_TIMEOUT(run.done.count() + run.failed.count() > 0, 20000);
    QCOMPARE(readFile(client + "/Data/ruRU/f.bin"), QByteArray("f of 1.3"));
    QCOMPARE(run.failed.count(), 0);
    QCOMPARE(Config::ReadSetting("ClientVersion", "WOTLK"), QStringLiteral("1.3"));
}

// An append() that queues nothing while a file is on its way still emits finished() from the
// event loop, and the run goes on.
void TestConcurrency::emptyAppendWhileAFileIsOnItsWay()
{
    server->setRoute("/a.bin", slowMiB());
    publish({{"ruRU", {url("/a.bin")}}});

    Run run;
    QVERIFY(run.progress.wait());
    Config::WriteSetting("WClientLocale", "ruRU", "0");
    QVERIFY(QMetaObject::invokeMethod(&run.updater, "append"));
    QVERIFY(run.waitForEnd());
    QCOMPARE(run.finished.count(), 2);
    QCOMPARE(run.done.count(), 1);
}

// An append() that queues a file while the run's files are flushed starts a run of its own: the
// first run keeps its counts, version and signal. Posted from the reply gate's view of the last
// reply, it is handled after the queue ran empty and before the flush's end can be.
void TestConcurrency::appendWhileTheRunIsFlushed()
{
    server->serve("/a.bin", "a");
    publish({{"ruRU", {url("/a.bin")}}});

    Run run;
    auto *network = run.updater.findChild<QNetworkAccessManager *>();
    QVERIFY(network);
    int appended = 0;
    connect(network, &QNetworkAccessManager::finished, this, [&](QNetworkReply *reply) {
        if (reply->url() == QUrl(url("/a.bin")) && appended++ == 0)
            QVERIFY(QMetaObject::invokeMethod(&run.updater, "append", Qt::QueuedConnection));
    });
    QTRY_COMPARE_WITH_TIMEOUT(run.done.count(), 2, 20000);
    QCOMPARE(server->hits("/a.bin"), 2);
    QCOMPARE(linesEqualTo(run.capture.lines(), "1 / 1 files downloaded successfully").size(), 2);
    QCOMPARE(run.failed.count(), 0);
}

// Two launchers on one client at once: neither takes the other's file in the making for a
// leftover, and both save every file and record the version.
void TestConcurrency::twoLaunchersInOneFolder()
{
    const QStringList paths{"/a.bin", "/b.bin", "/c.bin"};
    QStringList urls;
    for (const QString &path : paths) {
        TestHttpServer::Route route;
        route.patternSize = 512 * 1024;
        route.patternSeed = path.at(1).unicode();
        route.dripChunk = 64 * 1024;
        route.dripIntervalMs = 20;
        server->setRoute(path, route);
        urls << url(path);
    }
    publish({{"ruRU", urls}});

    Run first;
    // The second one starts while the first one writes a.bin.
    const QDir data(client + "/Data/ruRU");
    QTRY_VERIFY(!data.entryList({"a.bin.emberpart-*"}, QDir::Files).isEmpty());
    AppConfig second;
    QSignalSpy secondDone(&second, SIGNAL(downloadFinishedMain()));
    QVERIFY(first.waitForEnd());
    QTRY_COMPARE_WITH_TIMEOUT(secondDone.count(), 1, 20000);
    QCOMPARE(first.done.count(), 1);
    for (const QString &path : paths)
        QVERIFY(samePattern(client + "/Data/ruRU" + path, 512 * 1024, path.at(1).unicode()));
    QCOMPARE(filesBelow(client + "/Data/ruRU"), QStringList({"a.bin", "b.bin", "c.bin"}));
}

QTEST_GUILESS_MAIN(TestConcurrency)
#include "tst_concurrency.moc"
