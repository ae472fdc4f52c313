#include "signing.h"
#include "testhttpserver.h"
#include "testutil.h"
#include "updater/appconfig.h"
#include "updater/manifestfreshness.h"
#include "updater/manifestsignature.h"
#include "updater/transferguard.h"
#include "updatertest.h"

#include <QSettings>
#include <QtTest>

using namespace UpdaterTest;

namespace {

// The real updater with its messages captured from before the constructor on, and its
// signals counted.
struct Check
{
    MessageCapture capture;
    AppConfig updater;
    QSignalSpy haveUpdates{&updater, SIGNAL(HaveUpdates())};
    QSignalSpy clientNotFound{&updater, SIGNAL(ClientNotFound())};
    QSignalSpy checked{&updater, SIGNAL(UpdatesChecked())};
    QSignalSpy configNotFound{&updater, SIGNAL(ConfigNotFound())};
    QSignalSpy finished{&updater, SIGNAL(finished())};
    QSignalSpy checkFailed{&updater, SIGNAL(UpdateCheckFailed())};
    QSignalSpy refused{&updater, SIGNAL(UpdateRefused())};
};

} // namespace

// The manifest check of the real updater against a manifest on a local HTTP server.
class TestManifestCheck : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void differentVersionReportsAndCollects();
    void noClientLocationStillCollects();
    void unreadableLocalVersionIsAnUpdate_data();
    void unreadableLocalVersionIsAnUpdate();
    void equalVersionsStopTheCheck_data();
    void equalVersionsStopTheCheck();
    void unusableManifest_data();
    void unusableManifest();
    void olderOrExpiredManifestRefused_data();
    void olderOrExpiredManifestRefused();
    void refusalNamesTheSigningKey_data();
    void refusalNamesTheSigningKey();
    void noRequestWithoutConfig_data();
    void noRequestWithoutConfig();
    void twoChecksBeforeAnyReply();
    void largestManifestHasTimeOnASlowLink();

private:
    void pointAt(const QUrl &manifest) { qputenv("EMBERCREST_MANIFEST_URL", manifest.toEncoded()); }
    QString fileUrl(const QString &path) const { return server->url(path).toString(); }

    ScopedWorkDir *work = nullptr;
    TestHttpServer *server = nullptr;
};

void TestManifestCheck::init()
{
    work = new ScopedWorkDir;
    server = new TestHttpServer;
    pointAt(server->url(kManifestPath));
}

void TestManifestCheck::cleanup()
{
    delete server;
    delete work;
    qunsetenv("EMBERCREST_TRANSFER_TIMEOUT_MS");
    qunsetenv("EMBERCREST_MANIFEST_PUBKEY");
    qunsetenv("EMBERCREST_RATE_WINDOW_S");
    qputenv("EMBERCREST_DELAY_MS", "0");
}

void TestManifestCheck::differentVersionReportsAndCollects()
{
    writeClientConfig("1.2", {"ruRU"});
    Config::WriteSetting("WClientLocale", "enGB", "0");
    const QString ru = fileUrl("/files/ruRU/update-ruRU.bin");
    const QString en = fileUrl("/files/enGB/update-enGB.bin");
    server->serve(kManifestPath, manifestJson("1.3", {{"ruRU", {ru}}, {"enGB", {en}}}));
    server->serve("/files/ruRU/update-ruRU.bin", "ru");

    Check c;
    QVERIFY(c.finished.wait());

    const QStringList expected{"AppConfig->Constructor: I'm called!",
                               kCalled,
                               kReading,
                               "Local version -  12",
                               "Online version -  13",
                               "Locale  \"enGB\"  not found.",
                               QStringLiteral("\"ruRU\"  =>  \"%1\"").arg(ru)};
    QCOMPARE(c.capture.lines().mid(0, expected.size()), expected);
    QCOMPARE(c.haveUpdates.count(), 1);
    QCOMPARE(c.clientNotFound.count(), 0);
    QCOMPARE(c.checked.count(), 0);
    // What was collected is what the queue fetched.
    QCOMPARE(server->hits("/files/ruRU/update-ruRU.bin"), 1);
    QCOMPARE(server->hits("/files/enGB/update-enGB.bin"), 0);
    QCOMPARE(Config::ReadSetting("ClientVersion", "WOTLK"), QStringLiteral("1.3"));
}

void TestManifestCheck::noClientLocationStillCollects()
{
    writeClientConfig("1.0", {"deDE"}, false);
    server->serve(kManifestPath, manifestJson("1.1", {{"deDE", {fileUrl("/de.bin")}}}));
    server->serve("/de.bin", "de");

    Check c;
    QVERIFY(c.finished.wait());
    QCOMPARE(c.clientNotFound.count(), 1);
    QCOMPARE(c.haveUpdates.count(), 0);
    QCOMPARE(readFile("client/Data/deDE/de.bin"), QByteArray("de"));
}

void TestManifestCheck::unreadableLocalVersionIsAnUpdate_data()
{
    QTest::addColumn<bool>("hasKey");
    QTest::addColumn<QString>("local");
    QTest::newRow("no ClientVersion key") << false << "";
    QTest::newRow("empty") << true << "";
    QTest::newRow("one part") << true << "1";
}

// The server answered with a good manifest: a config.conf without a usable installed version is
// the player's matter, so the check is an update, not a failed check.
void TestManifestCheck::unreadableLocalVersionIsAnUpdate()
{
    QFETCH(bool, hasKey);
    QFETCH(QString, local);
    writeClientConfig(local, {"ruRU"});
    if (!hasKey)
        QSettings(Config::FileName, QSettings::IniFormat).remove("ClientVersion/WOTLK");
    server->serve(kManifestPath, manifestJson("1.3", {{"ruRU", {fileUrl("/r.bin")}}}));
    server->serve("/r.bin", "r");

    Check c;
    QVERIFY(c.finished.wait());
    QCOMPARE(c.checkFailed.count(), 0);
    QCOMPARE(c.haveUpdates.count(), 1);
    QVERIFY(c.capture.contains("Local version -  0"));
    QCOMPARE(readFile("client/Data/ruRU/r.bin"), QByteArray("r"));
    QCOMPARE(Config::ReadSetting("ClientVersion", "WOTLK"), QStringLiteral("1.3"));
}

void TestManifestCheck::equalVersionsStopTheCheck_data()
{
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("online");
    QTest::addColumn<QString>("number");
    QTest::newRow("3.10 and 4.0") << "3.10"
                                  << "4.0"
                                  << "40";
    QTest::newRow("1.2.9 and 1.2") << "1.2.9"
                                   << "1.2"
                                   << "12";
    QTest::newRow("1.x and 1.0") << "1.x"
                                 << "1.0"
                                 << "10";
}

void TestManifestCheck::equalVersionsStopTheCheck()
{
    QFETCH(QString, local);
    QFETCH(QString, online);
    QFETCH(QString, number);
    writeClientConfig(local, {"ruRU", "enGB"});
    Config::WriteSetting("WClientLocale", "frFR", "0");
    server->serve(kManifestPath, manifestJson(online, {{"ruRU", {fileUrl("/r.bin")}},
                                                       {"frFR", {fileUrl("/f.bin")}}}));

    Check c;
    QVERIFY(c.checked.wait());
    QCOMPARE(c.capture.lines(),
             QStringList({"AppConfig->Constructor: I'm called!", kCalled, kReading,
                          "Local version -  " + number, "Online version -  " + number}));

    // A second check of a manifest without a version list arms append() once; had the first
    // check armed it too, an empty queue would have reported finished() twice by then.
    server->serve(kManifestPath, "{}");
    c.updater.CheckUpdates();
    QVERIFY(c.finished.wait());
    QTest::qWait(0);
    QCOMPARE(c.finished.count(), 1);
    QCOMPARE(c.haveUpdates.count(), 0);
    QCOMPARE(server->hits("/r.bin"), 0);
    QCOMPARE(Config::ReadSetting("ClientVersion", "WOTLK"), local);
}

void TestManifestCheck::unusableManifest_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("refusal"); // the start of the line that says why it was refused
    QTest::newRow("HTTP 500") << "500"
                              << "";
    QTest::newRow("connection refused") << "refused"
                                        << "";
    QTest::newRow("not JSON") << "text"
                              << "";
    QTest::newRow("stalled") << "stall"
                             << "";
    QTest::newRow("redirected") << "redirect" // the manifest it points at is not fetched
                                << "";
    // Only a 2xx reply carries the manifest, whatever the body of another one says.
    QTest::newRow("HTTP 404 whose body is a manifest") << "404 manifest"
                                                       << "";
    QTest::newRow("redirect whose body is a manifest") << "redirect manifest"
                                                       << "";
    // Bounds no honest server reaches, with or without a key: ended as they arrive.
    QTest::newRow("2 GiB of manifest, no length")
        << "endless"
        << "OnGetJSON: manifest refused: larger than 16777216 bytes";
    QTest::newRow("manifest at a trickle") << "trickle"
                                           << "OnGetJSON: manifest refused: too slow: ";
    // With a public key: a good manifest whose signature is missing or far too large.
    const QString refused = "OnGetJSON: manifest refused: ";
    QTest::newRow("signature missing") << "no signature" << refused + "no signature file (";
    // The signature arrived and was refused: not the server's failure (UpdateRefused).
    QTest::newRow("signature of 16 MiB")
        << "huge signature" << refused + "the signature file is larger than 4096 bytes";
}

// No compare; the failed check is reported (a refused signature as such), and append() still
// follows (with nothing collected it only reports finished()).
void TestManifestCheck::unusableManifest()
{
    QFETCH(QString, kind);
    QFETCH(QString, refusal);
    writeClientConfig("1.0", {"ruRU"});
    const QByteArray manifest = manifestJson("2.0", {{"ruRU", {fileUrl("/r.bin")}}});
    if (refusal.startsWith("OnGetJSON: manifest refused: no") || refusal.contains("signature")) {
        qputenv("EMBERCREST_MANIFEST_PUBKEY", QByteArray(32, 'k').toBase64());
        server->serve(kManifestPath, manifest);
        TestHttpServer::Route huge;
        huge.patternSize = 16 << 20;
        if (kind == "huge signature")
            server->setRoute(kManifestPath + ".sig", huge);
    } else if (kind == "500") {
        server->serve(kManifestPath, "<html>Internal error</html>", 500);
    } else if (kind == "refused") {
        TestHttpServer closed;
        pointAt(closed.url(kManifestPath));
    } else if (kind == "text") {
        server->serve(kManifestPath, "version 2.0\n");
    } else if (kind == "404 manifest") {
        server->serve(kManifestPath, manifest, 404);
    } else if (kind.startsWith("redirect")) {
        TestHttpServer::Route moved;
        moved.status = 302;
        moved.location = "/moved.json";
        if (kind.endsWith("manifest"))
            moved.body = manifest;
        server->setRoute(kManifestPath, moved);
        server->serve("/moved.json", manifest);
    } else if (kind == "endless") {
        TestHttpServer::Route endless;
        endless.patternSize = qint64(2) << 30;
        endless.sendContentLength = false;
        server->setRoute(kManifestPath, endless);
    } else if (kind == "trickle") {
        TestHttpServer::Route trickle;
        trickle.body = manifest;
        trickle.dripChunk = 8;
        trickle.dripIntervalMs = 100;
        server->setRoute(kManifestPath, trickle);
        qputenv("EMBERCREST_RATE_WINDOW_S", "1");
    } else {
        TestHttpServer::Route stall;
        stall.body = manifest;
        stall.stallAfter = 10;
        server->setRoute(kManifestPath, stall);
        qputenv("EMBERCREST_TRANSFER_TIMEOUT_MS", "300");
    }

    Check c;
    QVERIFY(c.finished.wait());
    QTest::qWait(0);
    QStringList expected{"AppConfig->Constructor: I'm called!", kCalled, kReading};
    QStringList lines = c.capture.lines();
    if (!refusal.isEmpty()) {
        expected.insert(2, refusal);
        if (lines.size() > 2 && lines.at(2).startsWith(refusal))
            lines[2] = refusal;
    }
    QCOMPARE(lines, expected);
    QCOMPARE(c.finished.count(), 1);
    QCOMPARE(c.haveUpdates.count() + c.clientNotFound.count() + c.checked.count(), 0);
    const bool signatureRefused = kind == "huge signature";
    QCOMPARE(c.checkFailed.count(), signatureRefused ? 0 : 1);
    QCOMPARE(c.refused.count(), signatureRefused ? 1 : 0);
    QCOMPARE(Config::ReadSetting("ClientVersion", "WOTLK"), QStringLiteral("1.0"));
    QCOMPARE(server->hits("/moved.json"), 0);
}

void TestManifestCheck::olderOrExpiredManifestRefused_data()
{
    QTest::addColumn<QString>("keys"); // the run-time key list: "realm", "other;realm", ""
    // The highest serial accepted before, then " list=NAMES" when another key list than the
    // one in force was recorded with it, or " other" when another manifest was accepted with it.
    QTest::addColumn<QString>("stored");
    QTest::addColumn<qint64>("serial");   // the manifest's serial; -1: none
    QTest::addColumn<bool>("expired");    // it expired three days ago
    QTest::addColumn<QString>("refusal"); // the start of the refusal line; empty: accepted
    QTest::addColumn<QString>("storedAfter");

    const QString refused = "OnGetJSON: manifest refused: ";
    QTest::newRow("rollback") << "realm"
                              << "7" << 6LL << false << refused + "serial 6 is lower than serial 7"
                              << "7";
    QTest::newRow("serial dropped")
        << "realm"
        << "7" << -1LL << false << refused + "the manifest has no serial, but serial 7"
        << "7";
    QTest::newRow("freeze") << "realm"
                            << "" << 8LL << true << refused + "the manifest expired at "
                            << "";
    QTest::newRow("newer, signed by the second key") << "other;realm"
                                                     << "7" << 8LL << false << ""
                                                     << "8";
    // A stolen key pushed the serial to the top; the launcher now trusts another key list.
    QTest::newRow("top serial of another key list")
        << "realm"
        << "9007199254740991 list=old" << 1LL << false << ""
        << "1";
    QTest::newRow("stored serial unreadable")
        << "realm"
        << "2x" << 8LL << false << refused + "the stored serial \"2x\" is unreadable"
        << "2x";
    QTest::newRow("same serial, other manifest")
        << "realm"
        << "8 other" << 8LL << false << refused + "serial 8 was accepted before for another"
        << "8";
    // Without a key the additions mean nothing: the update goes through as it always has.
    QTest::newRow("rollback without a key") << ""
                                            << "7" << 6LL << true << ""
                                            << "7";
}

// With a key, a validly signed manifest that is older than one accepted before, or expired, is
// refused like a bad signature: nothing fetched, the version kept, and the bar says that the
// update was refused (UpdateRefused), not that the server failed.
void TestManifestCheck::olderOrExpiredManifestRefused()
{
    QFETCH(QString, keys);
    QFETCH(QString, stored);
    QFETCH(qint64, serial);
    QFETCH(bool, expired);
    QFETCH(QString, refusal);
    QFETCH(QString, storedAfter);
    writeClientConfig("1.0", {"ruRU"});
    if (!stored.isEmpty()) {
        const QStringList parts = stored.split(' ');
        Config::WriteSetting("ManifestSecurity", "HighestSerial", parts.first());
        if (parts.contains("other"))
            Config::WriteSetting("ManifestSecurity", "ManifestSha256",
                                 ManifestFreshness::manifestSha256("another manifest"));
        if (parts.size() > 1 && parts.at(1).startsWith("list=")) {
            QString problem;
            const QByteArray key = Publish::generateKeyFiles(parts.at(1).mid(5), &problem);
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
            Config::WriteSetting(
                "ManifestSecurity", "KeyList",
                ManifestFreshness::keyListId(ManifestSignature::parseKeyList(key).keys));
        }
    }
    QJsonObject security;
    if (serial >= 0)
        security.insert("serial", serial);
    if (expired)
        security.insert("expires",
                        ManifestFreshness::formatTime(QDateTime::currentDateTimeUtc().addDays(-3)));
    QJsonObject manifest =
        QJsonDocument::fromJson(manifestJson("2.0", {{"ruRU", {fileUrl("/r.bin")}}})).object();
    manifest.insert("security", security);
    const QByteArray bytes = QJsonDocument(manifest).toJson();
    server->serve(kManifestPath, bytes);
    server->serve("/r.bin", "r");
    if (!keys.isEmpty()) {
        QString problem;
        QByteArray list;
        for (const QString &name : keys.split(';'))
            list += (list.isEmpty() ? "" : ";") + Publish::generateKeyFiles(name, &problem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        qputenv("EMBERCREST_MANIFEST_PUBKEY", list);
        const QByteArray signature =
            Publish::signatureFile(Publish::readSigningKey("realm.key"), bytes);
        server->serve(kManifestPath + ".sig", signature);
    }

    Check c;
    QVERIFY(c.finished.wait());
    const QStringList lines = c.capture.lines();
    if (refusal.isEmpty()) {
        // (With a key, the file itself fails: this manifest lists no integrity data.)
        QCOMPARE(c.haveUpdates.count(), 1);
        QCOMPARE(c.checkFailed.count(), 0);
    } else {
        QVERIFY2(std::any_of(lines.begin(), lines.end(),
                             [&](const QString &line) { return line.startsWith(refusal); }),
                 qPrintable(lines.join('\n')));
        QCOMPARE(c.checkFailed.count(), 0);
        QCOMPARE(c.refused.count(), 1);
        QCOMPARE(c.haveUpdates.count() + c.clientNotFound.count() + c.checked.count(), 0);
        QCOMPARE(server->hits("/r.bin"), 0);
        QCOMPARE(Config::ReadSetting("ClientVersion", "WOTLK"), QStringLiteral("1.0"));
    }
    QCOMPARE(Config::ReadSetting("ManifestSecurity", "HighestSerial"), storedAfter);
}

void TestManifestCheck::refusalNamesTheSigningKey_data()
{
    QTest::addColumn<QString>("trusted"); // the run-time key list, by key name
    QTest::addColumn<QString>("signer");  // the key that signs
    QTest::addColumn<QString>("named");   // the key the manifest names; empty: none
    QTest::addColumn<bool>("changed");    // a byte of the manifest changed after signing
    QTest::addColumn<QString>("refusal"); // %1, %2...: the fingerprints of the keys used

    const QString wrongKey = "signed by key %1, this launcher trusts %2: a key that this launcher "
                             "was not built with (a wrong key, or a key rotation that this "
                             "launcher missed)";
    const QString mismatch = "the signature does not match the manifest";
    QTest::newRow("signed with a key not trusted")
        << "realm"
        << "intruder"
        << "intruder" << false << wrongKey.arg("%2", "%1");
    QTest::newRow("signed with a key not trusted, two trusted")
        << "realm;spare"
        << "intruder"
        << "intruder" << false << wrongKey.arg("%3", "%1, %2");
    // Whatever key it names, a manifest whose signature holds for none of them was changed.
    QTest::newRow("changed after signing") << "realm"
                                           << "realm"
                                           << "realm" << true << mismatch;
    QTest::newRow("names a key that did not sign") << "realm"
                                                   << "intruder"
                                                   << "realm" << false << mismatch;
    QTest::newRow("changed, names a key not trusted") << "realm"
                                                      << "intruder"
                                                      << "intruder" << true << mismatch;
    // As an older publisher wrote it.
    QTest::newRow("names no key") << "realm"
                                  << "intruder"
                                  << "" << false << mismatch;
}

// A signature that holds for none of the trusted keys: the log tells a manifest signed with
// another key (a publisher's mistake, or a launcher that missed a rotation) from one changed
// after signing. Either way nothing is read, and the bar says that the update was refused.
void TestManifestCheck::refusalNamesTheSigningKey()
{
    QFETCH(QString, trusted);
    QFETCH(QString, signer);
    QFETCH(QString, named);
    QFETCH(bool, changed);
    QFETCH(QString, refusal);
    writeClientConfig("1.0", {"ruRU"});
    QMap<QString, QByteArray> keys; // name -> base64 public key
    QStringList fingerprints;
    for (const QString &name : trusted.split(';') + QStringList{signer}) {
        if (keys.contains(name))
            continue;
        QString problem;
        keys.insert(name, Publish::generateKeyFiles(name, &problem));
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        // As the log shows a key: the first 8 characters of its base64 text, and "...".
        fingerprints << QString::fromLatin1(keys.value(name).left(8)) + QStringLiteral("...");
    }
    QStringList list;
    for (const QString &name : trusted.split(';'))
        list << QString::fromLatin1(keys.value(name));
    qputenv("EMBERCREST_MANIFEST_PUBKEY", list.join(';').toLatin1());

    QJsonObject manifest =
        QJsonDocument::fromJson(manifestJson("2.0", {{"ruRU", {fileUrl("/r.bin")}}})).object();
    QJsonObject security{{"serial", 1}};
    if (!named.isEmpty())
        security.insert("key", QString::fromLatin1(keys.value(named)));
    manifest.insert("security", security);
    QByteArray bytes = QJsonDocument(manifest).toJson();
    const QByteArray signature =
        Publish::signatureFile(Publish::readSigningKey(signer + ".key"), bytes);
    QVERIFY(!signature.isEmpty());
    if (changed)
        bytes.replace("2.0", "3.0");
    server->serve(kManifestPath, bytes);
    server->serve(kManifestPath + ".sig", signature);
    server->serve("/r.bin", "r");

    Check c;
    QVERIFY(c.finished.wait());
    for (int i = 0; i < fingerprints.size() && refusal.contains('%'); ++i)
        refusal = refusal.arg(fingerprints.at(i));
    QVERIFY2(c.capture.contains("OnGetJSON: manifest refused: " + refusal),
             qPrintable(c.capture.lines().join('\n')));
    QCOMPARE(c.refused.count(), 1);
    QCOMPARE(c.checkFailed.count() + c.haveUpdates.count() + c.checked.count(), 0);
    QCOMPARE(server->hits("/r.bin"), 0);
}

void TestManifestCheck::noRequestWithoutConfig_data()
{
    QTest::addColumn<bool>("directory");
    QTest::newRow("no config.conf") << false;
    QTest::newRow("config.conf is a directory") << true;
}

void TestManifestCheck::noRequestWithoutConfig()
{
    QFETCH(bool, directory);
    if (directory)
        QVERIFY(QDir().mkdir(Config::FileName));
    server->serve(kManifestPath, manifestJson("2.0", {}));

    Check c;
    QCOMPARE(c.capture.lines(), QStringList{"AppConfig->Constructor: I'm called!"});

    // The first request is the one CheckUpdates() sends: the constructor's would come first.
    c.updater.CheckUpdates();
    QVERIFY(c.finished.wait());
    QCOMPARE(server->hits(kManifestPath), 1);
    QCOMPARE(c.configNotFound.count(), 0);
}

// Every reply asked for before append() runs is read as a manifest.
void TestManifestCheck::twoChecksBeforeAnyReply()
{
    qputenv("EMBERCREST_DELAY_MS", "1000"); // all three replies are read before append()
    writeClientConfig("1.0", {"ruRU"});
    server->serve(kManifestPath, manifestJson("2.0", {{"ruRU", {fileUrl("/r.bin")}}}));
    server->serve("/r.bin", "r");

    Check c; // first request
    c.updater.CheckUpdates();
    c.updater.CheckUpdates();
    QTRY_COMPARE_WITH_TIMEOUT(Config::ReadSetting("ClientVersion", "WOTLK"), QStringLiteral("2.0"),
                              10000);

    QCOMPARE(linesEqualTo(c.capture.lines(), kReading).size(), 3);
    QCOMPARE(c.haveUpdates.count(), 3);
    QCOMPARE(server->hits(kManifestPath), 3);
    QCOMPARE(readFile("client/Data/ruRU/r.bin"), QByteArray("r"));
}

// A player on a slow link can still fetch a manifest of the largest size the check takes: the
// time bound does not undercut the size bound.
void TestManifestCheck::largestManifestHasTimeOnASlowLink()
{
    qunsetenv("EMBERCREST_CHECK_LIMIT_S");
    const qint64 slowLinkMs =
        TransferGuard::kMaxManifestBytes * 1000 / TransferGuard::kSlowLinkBytesPerSecond;
    QVERIFY(TransferGuard::checkLimitMs() >= slowLinkMs);
    QCOMPARE(TransferGuard::kSlowLinkBytesPerSecond, qint64(8 * 1024));
}

QTEST_GUILESS_MAIN(TestManifestCheck)
#include "tst_manifestcheck.moc"
