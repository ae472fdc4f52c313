#include "downloadtest.h"
#include "updater/runplan.h"

#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/file.h>
#endif

using namespace UpdaterTest;

// What is verified before it replaces a file: the manifest's sizes and hashes, and nothing
// found beside the target is taken on trust.
class TestIntegrity : public DownloadSuite
{
    Q_OBJECT

private slots:
    void init() { setUp(); }
    void cleanup() { tearDown(); }
    void integrity_data();
    void integrity();
    void partialFilesAreNotTrusted_data();
    void partialFilesAreNotTrusted();
    void queuedFileKeepsItsEntry_data();
    void queuedFileKeepsItsEntry();
};

void TestIntegrity::integrity_data()
{
    QTest::addColumn<QString>("local");        // 1.1: the manifest's own version, a repair check
    QTest::addColumn<QByteArray>("onDisk");    // null: no file
    QTest::addColumn<bool>("staleCache");      // the cache holds the listed hash for an older time
    QTest::addColumn<QByteArray>("published"); // what the manifest's size and hash describe
    QTest::addColumn<QByteArray>("entry");     // %s, %h: their size and hash; empty: none
    QTest::addColumn<QByteArray>("served");
    QTest::addColumn<bool>("fetched");
    QTest::addColumn<QByteArray>("result"); // null: no file
    QTest::addColumn<QString>("outcome");   // done, failed or checked
    QTest::addColumn<bool>("chunked");      // served with Transfer-Encoding: chunked

    const QByteArray good = R"({"size":%s,"sha256":"%h"})";
    const QByteArray none;
    QTest::newRow("tampered: old file kept")
        << "1.0" << QByteArray("old a") << false << QByteArray("new a") << good
        << QByteArray("new b") << true << QByteArray("old a") << "failed" << false;
    QTest::newRow("longer than listed: old file kept")
        << "1.0" << QByteArray("old a") << false << QByteArray("new a") << good
        << QByteArray("new a and more") << true << QByteArray("old a") << "failed" << false;
    QTest::newRow("same size, other bytes: verified and saved")
        << "1.0" << QByteArray("old a") << false << QByteArray("new a") << good
        << QByteArray("new a") << true << QByteArray("new a") << "done" << false;
    QTest::newRow("unchanged: not fetched")
        << "1.0" << QByteArray("new a") << false << QByteArray("new a") << good
        << QByteArray("other") << false << QByteArray("new a") << "done" << false;
    QTest::newRow("cached hash of an older time: fetched")
        << "1.0" << QByteArray("old a") << true << QByteArray("new a") << good
        << QByteArray("new a") << true << QByteArray("new a") << "done" << false;
    QTest::newRow("unusable entry: not fetched, fails")
        << "1.0" << QByteArray("old a") << false << QByteArray("new a")
        << QByteArray(R"({"size":-1,"sha256":"%h"})") << QByteArray("new a") << false
        << QByteArray("old a") << "failed" << false;
    QTest::newRow("no entry: saved unverified")
        << "1.0" << QByteArray("old a") << false << QByteArray("new a") << none
        << QByteArray("new b") << true << QByteArray("new b") << "done" << false;
    QTest::newRow("repair: missing file")
        << "1.1" << QByteArray() << false << QByteArray("new a") << good << QByteArray("new a")
        << true << QByteArray("new a") << "done" << false;
    QTest::newRow("repair: other size")
        << "1.1" << QByteArray("old") << false << QByteArray("new a") << good << QByteArray("new a")
        << true << QByteArray("new a") << "done" << false;
    QTest::newRow("repair: all in place (sizes only)")
        << "1.1" << QByteArray("old a") << false << QByteArray("new a") << good
        << QByteArray("new a") << false << QByteArray("old a") << "checked" << false;
    QTest::newRow("repair: tampered replacement refused")
        << "1.1" << QByteArray() << false << QByteArray("new a") << good << QByteArray("new b")
        << true << QByteArray() << "failed" << false;
    QTest::newRow("tampered chunked body: old file kept")
        << "1.0" << QByteArray("old a") << false << QByteArray("new a") << good
        << QByteArray("new b") << true << QByteArray("old a") << "failed" << true;
}

// The manifest's "integrity" member: files are verified before they replace the old ones,
// unchanged ones are not fetched, and missing ones come back with equal versions.
void TestIntegrity::integrity()
{
    QFETCH(QString, local);
    QFETCH(QByteArray, onDisk);
    QFETCH(QByteArray, published);
    QFETCH(QByteArray, entry);
    QFETCH(QByteArray, served);
    QFETCH(QString, outcome);
    client = writeClientConfig(local, {"ruRU"});
    const QString target = client + "/Data/ruRU/a.bin";
    if (!onDisk.isNull())
        QVERIFY(writeFile(target, onDisk));
    // A killed run's leftover goes once a run plans its folder, whether it writes there or not.
    if (outcome != "checked")
        QVERIFY(writeFile(target + ".emberpart-k3j9x0", "left by a killed run"));
    QFETCH(bool, staleCache);
    if (staleCache)
        QVERIFY(
            writeFile("hashcache.dat",
                      "embercrest-hashcache 2\n" +
                          QCryptographicHash::hash(published, QCryptographicHash::Sha256).toHex() +
                          " 5 1000 1 1 1000 " + target.toUtf8() + "\n"));
    QJsonObject manifest =
        QJsonDocument::fromJson(manifestJson("1.1", {{"ruRU", {url("/a.bin")}}})).object();
    if (!entry.isEmpty()) {
        entry.replace("%s", QByteArray::number(published.size()))
            .replace("%h", QCryptographicHash::hash(published, QCryptographicHash::Sha256).toHex());
        manifest.insert("integrity",
                        QJsonObject{{url("/a.bin"), QJsonDocument::fromJson(entry).object()},
                                    {url("/unlisted.bin"), "ignored"}});
    }
    server->serve(kManifestPath, QJsonDocument(manifest).toJson());
    TestHttpServer::Route route;
    route.body = served;
    QFETCH(bool, chunked);
    route.chunked = chunked;
    server->setRoute("/a.bin", route);

    Run run;
    QSignalSpy checked(&run.updater, SIGNAL(UpdatesChecked()));
    QVERIFY(QTest::qWaitFor([&] { return run.done.count() + run.failed.count() + checked.count(); },
                            20000));
    QTest::qWait(0);
    QCOMPARE(run.done.count(), int(outcome == "done"));
    QCOMPARE(run.failed.count(), int(outcome == "failed"));
    QCOMPARE(checked.count(), int(outcome == "checked"));
    QFETCH(bool, fetched);
    // A chunked body is asked for twice: the launcher reads it itself the second time.
    QCOMPARE(server->hits("/a.bin"), fetched ? 1 + int(chunked) : 0);
    QFETCH(QByteArray, result);
    QCOMPARE(readFile(target), result);
    QCOMPARE(QFileInfo::exists(target), !result.isNull());
    QCOMPARE(filesBelow(client + "/Data/ruRU"),
             result.isNull() ? QStringList() : QStringList("a.bin"));
    QCOMPARE(Config::ReadSetting("ClientVersion", "WOTLK"),
             outcome == "failed" ? local : QStringLiteral("1.1"));
    if (outcome == "failed")
        QVERIFY(run.capture.lines().filter("Error:  ").size() == 1);
}

void TestIntegrity::partialFilesAreNotTrusted_data()
{
    QTest::addColumn<QString>("planted"); // what an earlier start or someone else left there
    // An earlier start's partial file is a link out of the game folder: it is not followed.
    QTest::newRow("partial file is a link") << "partial link";
    // A whole file that fails its hash is not kept to be continued.
    QTest::newRow("whole but wrong: dropped") << "wrong";
    // Another launcher holds the lock on it: neither continued nor replaced here, the file is
    // fetched whole.
    QTest::newRow("partial file another launcher writes") << "in use";
    // The target itself is a link out of the game folder: replaced by the file, not written
    // through (a linked folder on the way to it is the player's, and stays).
    QTest::newRow("target is a link") << "target link";
}

void TestIntegrity::partialFilesAreNotTrusted()
{
    QFETCH(QString, planted);
    const bool saved = planted != "wrong";
    const qint64 size = saved ? 300000 : 9 << 20;
    const QByteArray whole = TestHttpServer::patternBytes(0, size, 3);
    const QString target = client + "/Data/ruRU/r.bin";
    const QString outside = work->filePath("outside.bin");
    const QByteArray info = url("/r.bin").toUtf8() + "\n\"v1\"\n" + QByteArray::number(size) + "\n";
    QFile theirs(target + ".partial");
    if (planted == "target link") {
        QVERIFY(writeFile(outside, "outside"));
        QVERIFY(QFile::link(outside, target));
    } else {
        QVERIFY(writeFile(target, "old"));
    }
    if (planted == "partial link") {
        QVERIFY(writeFile(outside, whole.left(100000)));
        QVERIFY(QFile::link(outside, target + ".partial"));
        QVERIFY(writeFile(target + ".partial.info", info));
    } else if (planted == "in use") {
#ifdef Q_OS_UNIX
        QVERIFY(writeFile(theirs.fileName(), whole.left(100000)));
        QVERIFY(writeFile(target + ".partial.info", info));
        QVERIFY(theirs.open(QIODevice::Append));
        QCOMPARE(::flock(theirs.handle(), LOCK_EX | LOCK_NB), 0);
#else
        QSKIP("Only POSIX systems here lock a partial file against another launcher");
#endif
    }
    TestHttpServer::Route route;
    route.patternSize = size;
    route.patternSeed = 3;
    route.extraHeaders = {{"ETag", "\"v1\""}};
    server->setRoute("/r.bin", route);
    QByteArray listed = whole;
    if (!saved)
        listed[0] = char(listed.at(0) + 1);
    server->serve(kManifestPath, withIntegrity(manifestJson("1.1", {{"ruRU", {url("/r.bin")}}}),
                                               {{url("/r.bin"), listed}}));

    Run run;
    QVERIFY(run.waitForEnd(30000));
    QCOMPARE(readFile(target), saved ? whole : QByteArray("old"));
    QCOMPARE(QFileInfo(target).isSymLink(), false);
    if (planted == "in use") {
        QCOMPARE(readFile(theirs.fileName()), whole.left(100000));
        QCOMPARE(filesBelow(client + "/Data/ruRU"),
                 QStringList({"r.bin", "r.bin.partial", "r.bin.partial.info"}));
        return;
    }
    QCOMPARE(filesBelow(client + "/Data/ruRU"), QStringList{"r.bin"});
    if (planted == "partial link")
        QCOMPARE(readFile(outside), whole.left(100000));
    if (planted == "target link")
        QCOMPARE(readFile(outside), QByteArray("outside"));
}

void TestIntegrity::queuedFileKeepsItsEntry_data()
{
    QTest::addColumn<QString>("entry"); // what the queuing reading gives: none, usable, unusable
    QTest::addColumn<bool>("integrityRequired"); // the manifest is signed
    QTest::addColumn<bool>("refused");
    QTest::newRow("no entry, unsigned") << "none" << false << false;
    QTest::newRow("no entry, signed") << "none" << true << true;
    QTest::newRow("usable entry, signed") << "usable" << true << false;
    QTest::newRow("unusable entry") << "unusable" << false << true;
}

// The plan on its own: a queued file is refused or checked by the entry of the reading that
// queued it, whatever a later reading lists for its URL.
void TestIntegrity::queuedFileKeepsItsEntry()
{
    QFETCH(QString, entry);
    QFETCH(bool, integrityRequired);
    QFETCH(bool, refused);
    const QString urlText = QStringLiteral("http://h/a.bin");
    const QUrl fileUrl(urlText);
    const FileIntegrity usable{5, QByteArray(64, 'a'), QString()};
    ManifestReading queuing;
    if (entry == "usable")
        queuing.integrity.insert(urlText, usable);
    else if (entry == "unusable")
        queuing.integrity.insert(urlText, FileIntegrity{-1, QByteArray(64, 'a'), "size -1"});
    ManifestReading later;
    later.integrity.insert(urlText, FileIntegrity{7, QByteArray(64, 'b'), QString()});

    RunPlan plan;
    plan.noteListed(urlText, queuing);
    QCOMPARE(plan.bind(fileUrl, urlText, "/c/Data/ruRU/a.bin", "ruRU").integrity.has_value(),
             entry != "none");
    plan.noteListed(urlText, later);
    const PlannedFile file = plan.take(fileUrl);
    QCOMPARE(file.url, fileUrl);
    QCOMPARE(file.target, QStringLiteral("/c/Data/ruRU/a.bin"));
    QCOMPARE(file.integrity.has_value(), entry != "none");
    if (file.integrity) {
        QCOMPARE(file.integrity->size, entry == "usable" ? usable.size : qint64(-1));
        QCOMPARE(file.integrity->sha256, QByteArray(64, 'a'));
    }
    QCOMPARE(bool(file.refusal(integrityRequired)), refused);
}

QTEST_GUILESS_MAIN(TestIntegrity)
#include "tst_integrity.moc"
