#include "publish.h"
#include "signing.h"
#include "testutil.h"
#include "updater/manifestsignature.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray OldManifest = "{\"old\": \"manifest\"}";

void makeFile(const QString &path, const QByteArray &bytes)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QVERIFY2(writeFile(path, bytes), qPrintable(path));
}

QJsonArray wsection(const QByteArray &manifest)
{
    return QJsonDocument::fromJson(manifest).object().value("wsection").toArray();
}

QString publisherPath()
{
    return qEnvironmentVariable("EMBERCREST_PUBLISH");
}

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

Run runPublisher(const QStringList &arguments)
{
    QProcess process;
    process.start(publisherPath(), arguments);
    Run run;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

} // namespace

class TestPublish : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void layoutBecomesManifest();
    void launcherFetchesAndNamesEachFile_data();
    void launcherFetchesAndNamesEachFile();
    void badInputFailsAndKeepsManifest_data();
    void badInputFailsAndKeepsManifest();
    void serialAndExpiry_data();
    void serialAndExpiry();
    void badKeyFailsAndKeepsManifest_data();
    void badKeyFailsAndKeepsManifest();
    void keygenSignAndVerify();
    void unwritableOutputFails();
    void executableWritesWhatTheLibraryWrites();

private:
    QTemporaryDir served;
    QProcess server;
    QString serverRoot;
    int servedFolders = 0;
};

// One real static HTTP server for the fetch tests, serving `served`.
void TestPublish::initTestCase()
{
    QVERIFY(served.isValid());
    QVERIFY2(QFileInfo(publisherPath()).isExecutable(), "EMBERCREST_PUBLISH is not set");
    server.setProgram("python3");
    server.setArguments(
        {"-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", served.path()});
    server.setStandardErrorFile(QProcess::nullDevice());
    server.start();
    if (!server.waitForStarted())
        return;
    const QRegularExpression portLine("port (\\d+)");
    QByteArray banner;
    while (!banner.contains('\n') && server.waitForReadyRead(10000))
        banner += server.readAllStandardOutput();
    const QRegularExpressionMatch port = portLine.match(QString::fromUtf8(banner));
    if (port.hasMatch())
        serverRoot = "http://127.0.0.1:" + port.captured(1) + '/';
}

void TestPublish::cleanupTestCase()
{
    server.kill();
    server.waitForFinished();
}

void TestPublish::layoutBecomesManifest()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath("updates");
    makeFile(folder + "/ruRU/b.MPQ", "b");
    makeFile(folder + "/ruRU/a.MPQ", "a");
    makeFile(folder + "/enGB/c.MPQ", "c");
    makeFile(folder + "/enGB/nested/d.MPQ", "d");
    makeFile(folder + "/xxXX/e.MPQ", "e");
    makeFile(folder + "/readme.txt", "not listed");
    // More than one read chunk, and not a whole number of them.
    QByteArray big(2 * 1024 * 1024 + 3, Qt::Uninitialized);
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 31 + i / 4096);
    makeFile(folder + "/ruRU/big.MPQ", big);

    Publish::Request request{
        folder, "1.10", "https://cdn.example:8443/wotlk", "2024-05-06", "", "", "", "", {}};
    const Publish::Report report = Publish::publish(request);
    QVERIFY2(report.ok(), qPrintable(report.errors.join('\n')));
    QCOMPARE(report.output, folder + "/ClientUpdates.json");
    QCOMPARE(report.files, 4);
    const QString warnings = report.warnings.join('\n');
    QVERIFY2(warnings.contains("xxXX") && warnings.contains("enGB/nested") &&
                 warnings.contains("1.10 counts the same as 2.0"),
             qPrintable(warnings));

    const QByteArray manifest = readFile(report.output);
    const QJsonArray section = wsection(manifest);
    QCOMPARE(section.size(), 2);
    // The launcher takes the second member of element 0, in key order, as the version.
    const QJsonObject versionElement = section.at(0).toObject();
    QCOMPARE(versionElement.keys(), QStringList({"date", "version"}));
    QCOMPARE(versionElement.value(versionElement.keys().at(1)).toString(), QString("1.10"));
    QCOMPARE(versionElement.value("date").toString(), QString("2024-05-06"));

    const QJsonObject locales = section.at(1).toObject();
    QCOMPARE(locales.keys(), QStringList({"enGB", "ruRU"}));
    const QJsonObject ruRU = locales.value("ruRU").toObject();
    QCOMPARE(ruRU.value("a.MPQ").toString(), QString("https://cdn.example:8443/wotlk/ruRU/a.MPQ"));
    QCOMPARE(ruRU.value("b.MPQ").toString(), QString("https://cdn.example:8443/wotlk/ruRU/b.MPQ"));
    QCOMPARE(locales.value("enGB").toObject().keys(), QStringList({"c.MPQ"}));

    // "integrity": every listed URL text, as listed, with the file's size and SHA-256.
    const QMap<QString, QByteArray> contents{
        {"enGB/c.MPQ", "c"}, {"ruRU/a.MPQ", "a"}, {"ruRU/b.MPQ", "b"}, {"ruRU/big.MPQ", big}};
    const QJsonObject integrity =
        QJsonDocument::fromJson(manifest).object().value("integrity").toObject();
    QCOMPARE(integrity.size(), contents.size());
    for (auto file = contents.cbegin(); file != contents.cend(); ++file) {
        const QJsonObject entry =
            integrity.value("https://cdn.example:8443/wotlk/" + file.key()).toObject();
        QCOMPARE(entry.keys(), QStringList({"sha256", "size"}));
        QCOMPARE(entry.value("size").toVariant().toLongLong(), qint64(file.value().size()));
        QCOMPARE(entry.value("sha256").toString().toLatin1(),
                 QCryptographicHash::hash(file.value(), QCryptographicHash::Sha256).toHex());
    }
    QVERIFY2(manifest.contains("\"size\": 2097155\n"), "sizes are written as integers");

    // The same folder publishes to the same bytes, whatever order the file system lists (the
    // serial given again: it would otherwise grow by one).
    request.serial = "1";
    QVERIFY(Publish::publish(request).ok());
    QCOMPARE(readFile(report.output), manifest);
}

void TestPublish::launcherFetchesAndNamesEachFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << "patch-ruRU-4.MPQ";
    QTest::newRow("spaces") << "Interface Art 2.MPQ";
    QTest::newRow("non-ASCII letters") << QString::fromUtf8("Обновление звука é ü.MPQ");
    QTest::newRow("URL punctuation") << "a+b;c,d=e&f(1)[2]~!$'@.MPQ";
    QTest::newRow("braces and caret") << "{x}^y`z.MPQ";
}

// Publishes a file, then reads the manifest's URL the way the launcher does: it requests the
// URL parsed from the text and saves the file under the text's last segment.
void TestPublish::launcherFetchesAndNamesEachFile()
{
    QFETCH(QString, name);
    if (serverRoot.isEmpty())
        QSKIP("python3 -m http.server did not start");
    const QString updates = "updates" + QString::number(++servedFolders);
    const QString folder = served.filePath(updates);
    const QString serverBase = serverRoot + updates + '/';
    const QByteArray content = "content of " + name.toUtf8();
    makeFile(folder + "/enGB/" + name, content);

    const Publish::Report report = Publish::publish({folder,
                                                     "1.1",
                                                     serverBase,
                                                     "2024-01-01",
                                                     served.filePath(updates + ".json"),
                                                     "",
                                                     "",
                                                     "",
                                                     {}});
    QVERIFY2(report.ok(), qPrintable(report.errors.join('\n')));
    const QString urlText = wsection(readFile(report.output))
                                .at(1)
                                .toObject()
                                .value("enGB")
                                .toObject()
                                .value(name)
                                .toString();
    QVERIFY(urlText.startsWith(serverBase + "enGB/"));
    QCOMPARE(QFileInfo(urlText).fileName(), name);

    QNetworkAccessManager network;
    QNetworkReply *reply =
        network.get(QNetworkRequest(QUrl::fromEncoded(urlText.toLocal8Bit(), QUrl::TolerantMode)));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->readAll(), content);
    delete reply;
}

void TestPublish::badInputFailsAndKeepsManifest_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("baseUrl");
    QTest::addColumn<QString>("badFile"); // created under the update folder
    QTest::addColumn<QString>("folder");  // replaces the update folder when set
    QTest::addColumn<QString>("date");
    QTest::addColumn<QString>("message");

    const QString url = "http://127.0.0.1:8000/";
    const QString day = "2024-01-01";
    QTest::newRow("one number") << "1" << url << ""
                                << "" << day << "version \"1\"";
    QTest::newRow("three numbers") << "1.2.3" << url << ""
                                   << "" << day << "version \"1.2.3\"";
    QTest::newRow("letter") << "1.x" << url << ""
                            << "" << day << "version \"1.x\"";
    QTest::newRow("prefix") << "v1.2" << url << ""
                            << "" << day << "version \"v1.2\"";
    QTest::newRow("empty version") << "" << url << ""
                                   << "" << day << "version \"\"";
    QTest::newRow("too large") << "999999999.1" << url << ""
                               << "" << day << "too large";
    QTest::newRow("ftp") << "1.1"
                         << "ftp://host/x/"
                         << ""
                         << "" << day << "ftp://host/x/";
    QTest::newRow("no scheme") << "1.1"
                               << "host/x/"
                               << ""
                               << "" << day << "\"host/x/\"";
    QTest::newRow("no host") << "1.1"
                             << "http:///x/"
                             << ""
                             << "" << day << "has no host";
    QTest::newRow("query") << "1.1"
                           << "http://h/x?a=1"
                           << ""
                           << "" << day << "query";
    QTest::newRow("date") << "1.1" << url << ""
                          << ""
                          << "2024-13-01"
                          << "date \"2024-13-01\"";
    QTest::newRow("missing folder") << "1.1" << url << ""
                                    << "missing" << day << "no such folder";
    QTest::newRow("no locale folder") << "1.1" << url << ""
                                      << "empty" << day << "no locale folder";
    QTest::newRow("#") << "1.1" << url << "ruRU/a#b.MPQ"
                       << "" << day << "ruRU/a#b.MPQ";
    QTest::newRow("%") << "1.1" << url << "ruRU/100%.MPQ"
                       << "" << day << "ruRU/100%.MPQ";
    QTest::newRow("%XX") << "1.1" << url << "ruRU/a%41.MPQ"
                         << "" << day << "ruRU/a%41.MPQ";
    QTest::newRow("?") << "1.1" << url << "enGB/what?.MPQ"
                       << "" << day << "enGB/what?.MPQ";
    QTest::newRow("backslash") << "1.1" << url << "ruRU/a\\b.MPQ"
                               << "" << day << "a\\b.MPQ";
    QTest::newRow("control") << "1.1" << url << "ruRU/a\x01.MPQ"
                             << "" << day << "control";
    QTest::newRow("colon") << "1.1" << url << "ruRU/a:b.MPQ"
                           << "" << day << "ruRU/a:b.MPQ";
    QTest::newRow("trailing dot") << "1.1" << url << "ruRU/patch."
                                  << "" << day << "ruRU/patch.";
    QTest::newRow("device") << "1.1" << url << "ruRU/nul.MPQ"
                            << "" << day << "ruRU/nul.MPQ";
}

void TestPublish::badInputFailsAndKeepsManifest()
{
    QFETCH(QString, version);
    QFETCH(QString, baseUrl);
    QFETCH(QString, badFile);
    QFETCH(QString, folder);
    QFETCH(QString, date);
    QFETCH(QString, message);
#ifdef Q_OS_WIN
    const QString tag = QTest::currentDataTag();
    if (tag == "?" || tag == "control" || tag == "device" || tag == "backslash" ||
        tag == "trailing dot")
        QSKIP("Windows cannot hold a file of that name, or stores it under another one");
#endif

    QTemporaryDir dir;
    const QString updates = dir.filePath("updates");
    makeFile(updates + "/ruRU/good.MPQ", "good");
    QVERIFY(QDir().mkpath(dir.filePath("empty/notALocale")));
    if (!badFile.isEmpty())
        makeFile(updates + '/' + badFile, "bad");
    const QString output = dir.filePath("site/ClientUpdates.json");
    makeFile(output, OldManifest);

    const Run run = runPublisher({folder.isEmpty() ? updates : dir.filePath(folder), version,
                                  baseUrl, "--date", date, "--output", output});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("error: ") && run.err.contains(message), qPrintable(run.err));
    QCOMPARE(readFile(output), OldManifest);
    QCOMPARE(QDir(dir.filePath("site")).entryList(QDir::Files | QDir::Hidden),
             QStringList({"ClientUpdates.json"}));
}

void TestPublish::serialAndExpiry_data()
{
    QTest::addColumn<QByteArray>("previous"); // the manifest at the output path; null: none
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<qint64>("serial");    // -1: refused, the previous manifest kept
    QTest::addColumn<QString>("expected"); // the expiry written, or the error
    const QByteArray serial41 = R"({"security": {"serial": 41}, "wsection": []})";
    QTest::newRow("first publication") << QByteArray() << QStringList() << 1LL << "";
    QTest::newRow("one more than the previous") << serial41 << QStringList() << 42LL << "";
    QTest::newRow("previous without a serial") << OldManifest << QStringList() << 1LL << "";
    QTest::newRow("--serial") << serial41 << QStringList{"--serial", "100"} << 100LL << "";
    // SOURCE_DATE_EPOCH is 2026-01-01T00:00:00Z.
    QTest::newRow("--expires") << QByteArray() << QStringList{"--expires", "3"} << 1LL
                               << "2026-01-04T00:00:00Z";
    QTest::newRow("--serial lower than the previous")
        << serial41 << QStringList{"--serial", "40"} << -1LL << "serial 40 is lower than serial 41";
    QTest::newRow("--serial 2^53") << QByteArray() << QStringList{"--serial", "9007199254740992"}
                                   << -1LL << "serial \"9007199254740992\" must be an integer";
    QTest::newRow("--expires 0") << QByteArray() << QStringList{"--expires", "0"} << -1LL
                                 << "expiry \"0\" must be a number of days";
    // The key remembers the last serial it signed: a new folder goes on from there.
    QTest::newRow("signed into a new folder")
        << QByteArray() << QStringList{"--sign", "realm.key@41"} << 42LL << "";
    QTest::newRow("previous with two serials")
        << QByteArray(R"({"security": {"serial": 41, "serial": 1}})") << QStringList() << -1LL
        << "the manifest carries 2 serials; give the serial with --serial";
}

// Each publication carries a serial one above the manifest it replaces, and an expiry time on
// request, inside the signed bytes.
void TestPublish::serialAndExpiry()
{
    QFETCH(QByteArray, previous);
    QFETCH(QStringList, options);
    QFETCH(qint64, serial);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    for (QString &option : options) {
        // NAME.key@N: a key made here, that signed serial N last.
        if (!option.contains(".key@"))
            continue;
        const QString key = dir.filePath(option.section('@', 0, 0));
        QString problem;
        Publish::generateKeyFiles(key.chopped(4), &problem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        makeFile(Publish::serialStatePath(key), option.section('@', 1).toLatin1());
        option = key;
    }
    makeFile(dir.filePath("updates/ruRU/a.MPQ"), "a");
    const QString output = dir.filePath("ClientUpdates.json");
    if (!previous.isNull())
        makeFile(output, previous);

    qputenv("SOURCE_DATE_EPOCH", "1767225600");
    const Run run = runPublisher(
        QStringList{dir.filePath("updates"), "1.1", "http://h/", "--output", output} + options);
    qunsetenv("SOURCE_DATE_EPOCH");
    if (serial < 0) {
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("error: ") && run.err.contains(expected), qPrintable(run.err));
        QCOMPARE(readFile(output), previous);
        return;
    }
    QCOMPARE(run.exitCode, 0);
    const QJsonObject security =
        QJsonDocument::fromJson(readFile(output)).object().value("security").toObject();
    QCOMPARE(security.value("serial").toVariant().toLongLong(), serial);
    QCOMPARE(security.value("expires").toString(), expected);
    QVERIFY2(run.out.contains(QStringLiteral("serial %1,").arg(serial)), qPrintable(run.out));
}

void TestPublish::badKeyFailsAndKeepsManifest_data()
{
    QTest::addColumn<QString>("keyName");
    QTest::addColumn<QByteArray>("keyText"); // not written when null
    QTest::addColumn<QString>("message");

    const QString notAKey = "not a private key file";
    QTest::newRow("16 bytes") << "realm.key" << QByteArray(16, 's').toBase64() + '\n' << notAKey;
    QTest::newRow("64 bytes") << "realm.key" << QByteArray(64, 's').toBase64() + '\n' << notAKey;
    QTest::newRow("empty") << "realm.key" << QByteArray("") << notAKey;
    QTest::newRow("binary") << "realm.key" << QByteArray("\x00\xff\x10 key\x80", 9) << notAKey;
    QTest::newRow("huge") << "realm.key" << QByteArray(1 << 20, 'A') << notAKey;
    QTest::newRow("public key file") << "realm.pub" << QByteArray(32, 'p').toBase64() + '\n'
                                     << "is a public key";
    QTest::newRow("missing") << "realm.key" << QByteArray() << "cannot read";
}

// A key that cannot sign is an error before anything is written: the manifest and its
// signature stay as they were.
void TestPublish::badKeyFailsAndKeepsManifest()
{
    QFETCH(QString, keyName);
    QFETCH(QByteArray, keyText);
    QFETCH(QString, message);

    QTemporaryDir dir;
    makeFile(dir.filePath("updates/ruRU/good.MPQ"), "good");
    const QString output = dir.filePath("site/ClientUpdates.json");
    makeFile(output, OldManifest);
    makeFile(output + ".sig", "old signature\n");
    if (!keyText.isNull())
        makeFile(dir.filePath(keyName), keyText);

    const Run run = runPublisher({"--sign", dir.filePath(keyName), dir.filePath("updates"), "1.1",
                                  "http://h/", "--output", output});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("error: " + dir.filePath(keyName) + ": " + message),
             qPrintable(run.err));
    QCOMPARE(readFile(output), OldManifest);
    QCOMPARE(readFile(output + ".sig"), QByteArray("old signature\n"));
    QCOMPARE(QDir(dir.filePath("site")).entryList(QDir::Files | QDir::Hidden),
             QStringList({"ClientUpdates.json", "ClientUpdates.json.sig"}));
}

// The pair that keygen writes signs manifests that the launcher's check accepts; a manifest
// published without the key loses the signature of its predecessor.
void TestPublish::keygenSignAndVerify()
{
    QTemporaryDir dir;
    const QString name = dir.filePath("realm");
    const Run keygen = runPublisher({"keygen", name});
    QCOMPARE(keygen.exitCode, 0);
    const QByteArray privateKey = readFile(name + ".key");
    const QByteArray publicKey = readFile(name + ".pub");
    QCOMPARE(privateKey.size(), 45);
    QCOMPARE(publicKey.size(), 45);
    QVERIFY(privateKey.endsWith('\n') && publicKey.endsWith('\n'));
    QVERIFY2(keygen.out.contains("-DEMBERCREST_MANIFEST_PUBKEY=" +
                                 QString::fromLatin1(publicKey.trimmed())),
             qPrintable(keygen.out));
#ifdef Q_OS_UNIX
    QCOMPARE(QFileInfo(name + ".key").permissions() & ~(QFile::ReadUser | QFile::WriteUser),
             QFile::ReadOwner | QFile::WriteOwner);
#endif
    const Run again = runPublisher({"keygen", name});
    QCOMPARE(again.exitCode, 1);
    QVERIFY2(again.err.contains("exists already"), qPrintable(again.err));
    QCOMPARE(readFile(name + ".key"), privateKey);
    QCOMPARE(readFile(name + ".pub"), publicKey);

    // The manifest and its signature inside a locale folder: neither is listed as a file.
    const QString updates = dir.filePath("updates");
    makeFile(updates + "/ruRU/good.MPQ", "good");
    const QString manifest = updates + "/ruRU/ClientUpdates.json";
    const QString signature = manifest + ".sig";
    for (int run = 0; run < 2; ++run) {
        const Run signedRun = runPublisher({"--sign", name + ".key", updates, "1.1", "http://h/",
                                            "--output", manifest, "--date", "2024-01-01"});
        QCOMPARE(signedRun.exitCode, 0);
        QVERIFY2(
            signedRun.out.contains("1 files in 1 locales") &&
                signedRun.out.contains("public key " + QString::fromLatin1(publicKey.trimmed())),
            qPrintable(signedRun.out));
    }
    const QByteArray signatureFile = readFile(signature);
    QCOMPARE(signatureFile.size(), 89);
    const ManifestSignature::Verdict verdict =
        ManifestSignature::verify(readFile(manifest), signatureFile, publicKey);
    QVERIFY2(verdict.accepted, qPrintable(verdict.reason));

    const Run unsignedRun = runPublisher({updates, "1.2", "http://h/", "--output", manifest});
    QCOMPARE(unsignedRun.exitCode, 0);
    QVERIFY2(unsignedRun.err.contains("warning: " + signature + ": removed"),
             qPrintable(unsignedRun.err));
    QVERIFY(!QFileInfo::exists(signature));
}

void TestPublish::unwritableOutputFails()
{
    QTemporaryDir dir;
    makeFile(dir.filePath("updates/ruRU/good.MPQ"), "good");
    QVERIFY(QDir().mkpath(dir.filePath("taken")));
    const Run run = runPublisher(
        {dir.filePath("updates"), "1.1", "http://h/", "--output", dir.filePath("taken")});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("cannot write"), qPrintable(run.err));
    QVERIFY(QFileInfo(dir.filePath("taken")).isDir());
}

void TestPublish::executableWritesWhatTheLibraryWrites()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath("updates");
    makeFile(folder + "/ruRU/a b.MPQ", "a");
    makeFile(folder + "/deDE/c.MPQ", "c");
    makeFile(folder + "/engine/files/LauncherData/ClientUpdates.json", OldManifest);

    const Run run = runPublisher({folder, "2.3", "http://127.0.0.1:8000/", "--date", "2023-02-01"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains("2 files in 2 locales"), qPrintable(run.out));
    QVERIFY2(run.err.contains("warning: engine: skipped"), qPrintable(run.err));
    const QByteArray written = readFile(folder + "/ClientUpdates.json");

    const Publish::Report report = Publish::publish({folder,
                                                     "2.3",
                                                     "http://127.0.0.1:8000/",
                                                     "2023-02-01",
                                                     dir.filePath("library.json"),
                                                     "",
                                                     "",
                                                     "",
                                                     {}});
    QVERIFY(report.ok());
    QCOMPARE(written, readFile(report.output));

    const Run usage = runPublisher({folder});
    QCOMPARE(usage.exitCode, 2);
    QVERIFY2(usage.err.contains("--help"), qPrintable(usage.err));
    const Run help = runPublisher({"--help"});
    QCOMPARE(help.exitCode, 0);
    QVERIFY(help.out.contains("Usage:") && help.out.contains("--output <file>"));
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
