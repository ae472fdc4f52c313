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

// How keys are shown: the first 8 characters of the public key's base64 text, and "...".
QString fingerprint(const QByteArray &publicKey)
{
    return QString::fromLatin1(publicKey.left(8)) + QStringLiteral("...");
}

// A request with the inputs every publication has; the rest keeps its defaults.
Publish::Request request(const QString &folder, const QString &version, const QString &baseUrl,
                         const QString &date, const QString &output = QString())
{
    Publish::Request request;
    request.folder = folder;
    request.version = version;
    request.baseUrl = baseUrl;
    request.date = date;
    request.output = output;
    return request;
}

Run runPublisher(const QStringList &arguments)
{
    QProcess process;
    process.start(publisherPath(), arguments);
    Run run;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    // A Windows console's lines end in CR LF; what is said is the same.
    run.out = QString::fromUtf8(process.readAllStandardOutput()).replace("\r\n", "\n");
    run.err = QString::fromUtf8(process.readAllStandardError()).replace("\r\n", "\n");
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
    void keygenHint_data();
    void keygenHint();
    void keygenSignAndVerify();
    void verify_data();
    void verify();
    void launcherRelease_data();
    void launcherRelease();
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

    Publish::Request request =
        ::request(folder, "1.10", "https://cdn.example:8443/wotlk", "2024-05-06");
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

    const Publish::Report report = Publish::publish(
        request(folder, "1.1", serverBase, "2024-01-01", served.filePath(updates + ".json")));
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
    QTest::addColumn<QByteArray>("previous"); // the manifest players get now; null: none
    QTest::addColumn<QString>("previousAt");  // "output" path, or a "url" given with --previous
    QTest::addColumn<bool>("previousSigned"); // a .sig beside it
    // NAME.key@N: a key pair made here, whose key signed serial N last; NAME.key, NAME.pub: a
    // key pair made here (once), without a recorded serial.
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<qint64>("epoch");     // SOURCE_DATE_EPOCH
    QTest::addColumn<qint64>("serial");    // -1: refused, the previous manifest kept
    QTest::addColumn<QString>("expected"); // the expiry written, or the error
    const QByteArray serial41 = R"({"security": {"serial": 41}, "wsection": []})";
    // Version 1.1 with ruRU/a.MPQ, whose content is "a" (as published here) or "b".
    const auto v11 = [](const QByteArray &file, const QByteArray &content,
                        const QByteArray &version = "1.1") -> QByteArray {
        return R"({"wsection": [{"date": "2024-01-01", "version": ")" + version +
               R"("}, {"ruRU": {"a": "http://h/ruRU/)" + file +
               R"("}}], "integrity": {"http://h/ruRU/)" + file + R"(": {"size": 1, "sha256": ")" +
               QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex() +
               R"("}}, "security": {"serial": 41}})";
    };
    const qint64 future = 4102444800; // 2100-01-01T00:00:00Z
    const qint64 past = 1767225600;   // 2026-01-01T00:00:00Z
    const QString out = "output";
    const QString url = "url";
    QTest::newRow("first publication")
        << QByteArray() << out << false << QStringList() << future << 1LL << "";
    QTest::newRow("one more than the previous")
        << serial41 << out << false << QStringList() << future << 42LL << "";
    QTest::newRow("previous without a serial")
        << OldManifest << out << false << QStringList() << future << 1LL << "";
    QTest::newRow("--serial") << serial41 << out << false << QStringList{"--serial", "100"}
                              << future << 100LL << "";
    QTest::newRow("--expires") << QByteArray() << out << false << QStringList{"--expires", "3"}
                               << future << 1LL << "2100-01-04T00:00:00Z";
    QTest::newRow("--serial lower than the previous")
        << serial41 << out << false << QStringList{"--serial", "40"} << future << -1LL
        << "serial 40 is lower than serial 41";
    QTest::newRow("--serial 2^53")
        << QByteArray() << out << false << QStringList{"--serial", "9007199254740992"} << future
        << -1LL << "serial \"9007199254740992\" must be an integer";
    QTest::newRow("--expires 0") << QByteArray() << out << false << QStringList{"--expires", "0"}
                                 << future << -1LL << "expiry \"0\" must be a number of days";
    // The key remembers the last serial it signed: a new folder goes on from there.
    QTest::newRow("signed into a new folder")
        << QByteArray() << out << false << QStringList{"--sign", "realm.key@41"} << future << 42LL
        << "";
    QTest::newRow("previous with two serials")
        << QByteArray(R"({"security": {"serial": 41, "serial": 1}})") << out << false
        << QStringList() << future << -1LL
        << "the manifest carries 2 serials; give the serial with --serial";

    // What launchers would refuse or misread is an error, unless its override is given.
    // A signed publication that knows of no earlier serial would start the count again.
    QTest::newRow("signed, no earlier serial known")
        << QByteArray() << out << false << QStringList{"--sign", "realm.key"} << future << -1LL
        << "serial 1 would start the count again";
    QTest::newRow("signed, no earlier serial known, --serial 1")
        << QByteArray() << out << false << QStringList{"--sign", "realm.key", "--serial", "1"}
        << future << 1LL << "";
    QTest::newRow("signed, --previous URL")
        << serial41 << url << false << QStringList{"--sign", "realm.key"} << future << 42LL << "";
    QTest::newRow("--previous URL not there")
        << QByteArray() << url << false << QStringList{"--sign", "realm.key"} << future << -1LL
        << "HTTP status 404";
    // SOURCE_DATE_EPOCH in the past, as some CI environments set it.
    QTest::newRow("expiry already past")
        << QByteArray() << out << false << QStringList{"--expires", "3"} << past << -1LL
        << "expiry 2026-01-04T00:00:00Z is already past";
    QTest::newRow("expiry already past, --allow-expired")
        << QByteArray() << out << false << QStringList{"--expires", "3", "--allow-expired"} << past
        << 1LL << "2026-01-04T00:00:00Z";
    QTest::newRow("no --sign after a signed manifest")
        << serial41 << out << true << QStringList() << future << -1LL << "no --sign, but ";
    QTest::newRow("no --sign after a signed manifest, --unsigned")
        << serial41 << out << true << QStringList{"--unsigned"} << future << 42LL << "";
    QTest::newRow("no --sign after a signed manifest at the URL")
        << serial41 << url << true << QStringList() << future << -1LL << "no --sign, but http://";
    QTest::newRow("no --sign, keys trusted")
        << QByteArray() << out << false << QStringList{"--trusted", "realm.pub"} << future << -1LL
        << "no --sign, but the launchers trust keys";
    QTest::newRow("signed with a key the launchers do not trust")
        << QByteArray() << out << false
        << QStringList{"--sign", "intruder.key", "--trusted", "realm.pub", "--serial", "1"}
        << future << -1LL << "which the launchers do not trust (--trusted lists ";
    QTest::newRow("signed with a key the launchers trust")
        << QByteArray() << out << false
        << QStringList{"--sign", "realm.key", "--trusted", "realm.pub", "--serial", "1"} << future
        << 1LL << "";
    QTest::newRow("same version, a file changed")
        << v11("a.MPQ", "b") << out << false << QStringList() << future << -1LL
        << "Launchers at 1.1 will not fetch a.MPQ";
    QTest::newRow("same version, a file added")
        << v11("other.MPQ", "b") << out << false << QStringList() << future << -1LL
        << "files changed: ruRU/a.MPQ";
    QTest::newRow("same version at the URL, a file changed")
        << v11("a.MPQ", "b") << url << false << QStringList() << future << -1LL
        << "Launchers at 1.1 will not fetch a.MPQ";
    QTest::newRow("same version, a file changed, --same-version")
        << v11("a.MPQ", "b") << out << false << QStringList{"--same-version"} << future << 42LL
        << "";
    QTest::newRow("same version, nothing changed")
        << v11("a.MPQ", "a") << out << false << QStringList() << future << 42LL << "";
    QTest::newRow("other version, a file changed")
        << v11("a.MPQ", "b", "1.0") << out << false << QStringList() << future << 42LL << "";
}

// Each publication carries a serial one above the manifest it replaces, and an expiry time on
// request, inside the signed bytes. What launchers would refuse or misread stops it.
void TestPublish::serialAndExpiry()
{
    QFETCH(QByteArray, previous);
    QFETCH(QString, previousAt);
    QFETCH(bool, previousSigned);
    QFETCH(QStringList, options);
    QFETCH(qint64, epoch);
    QFETCH(qint64, serial);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    for (QString &option : options) {
        if (!option.contains(".key") && !option.endsWith(".pub"))
            continue;
        const QString name = dir.filePath(option.section('.', 0, 0));
        if (!QFileInfo::exists(name + ".key")) {
            QString problem;
            Publish::generateKeyFiles(name, &problem);
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
        }
        const QString path = name + '.' + option.section('.', 1).section('@', 0, 0);
        if (option.contains('@'))
            makeFile(Publish::serialStatePath(path), option.section('@', 1).toLatin1());
        option = path;
    }
    makeFile(dir.filePath("updates/ruRU/a.MPQ"), "a");
    const QString output = dir.filePath("ClientUpdates.json");
    if (previousAt == "url") {
        if (serverRoot.isEmpty())
            QSKIP("python3 -m http.server did not start");
        const QString name = "previous" + QString::number(++servedFolders) + ".json";
        if (!previous.isNull())
            makeFile(served.filePath(name), previous);
        if (previousSigned)
            makeFile(served.filePath(name + ".sig"), "signature\n");
        options << "--previous" << serverRoot + name;
    } else if (!previous.isNull()) {
        makeFile(output, previous);
        if (previousSigned)
            makeFile(output + ".sig", "signature\n");
    }

    qputenv("SOURCE_DATE_EPOCH", QByteArray::number(epoch));
    const Run run = runPublisher(
        QStringList{dir.filePath("updates"), "1.1", "http://h/", "--output", output} + options);
    qunsetenv("SOURCE_DATE_EPOCH");
    if (serial < 0) {
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("error: ") && run.err.contains(expected), qPrintable(run.err));
        QCOMPARE(readFile(output), previousAt == "output" ? previous : QByteArray());
        return;
    }
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QJsonObject security =
        QJsonDocument::fromJson(readFile(output)).object().value("security").toObject();
    QCOMPARE(security.value("serial").toVariant().toLongLong(), serial);
    QCOMPARE(security.value("expires").toString(), expected);
    QVERIFY2(run.out.contains(QStringLiteral("serial %1,").arg(serial)), qPrintable(run.out));
}

void TestPublish::badKeyFailsAndKeepsManifest_data()
{
    QTest::addColumn<QString>("keyName");
    QTest::addColumn<QByteArray>("keyText");  // not written when null
    QTest::addColumn<QByteArray>("pairText"); // NAME.pub beside NAME.key; not written when null
    QTest::addColumn<QString>("message");     // %1: the key file's path, %2: NAME.pub's

    // Two pairs as keygen writes them.
    QTemporaryDir keys;
    QString problem;
    const QByteArray publicA = Publish::generateKeyFiles(keys.filePath("a"), &problem).append('\n');
    const QByteArray publicB = Publish::generateKeyFiles(keys.filePath("b"), &problem).append('\n');
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    const QByteArray privateA = readFile(keys.filePath("a.key"));

    const QString notAKey = "%1: not a private key file";
    const QByteArray none;
    QTest::newRow("16 bytes") << "realm.key" << QByteArray(16, 's').toBase64() + '\n'
                              << none << notAKey;
    QTest::newRow("64 bytes") << "realm.key" << QByteArray(64, 's').toBase64() + '\n'
                              << none << notAKey;
    QTest::newRow("empty") << "realm.key" << QByteArray("") << none << notAKey;
    QTest::newRow("binary") << "realm.key" << QByteArray("\x00\xff\x10 key\x80", 9) << none
                            << notAKey;
    QTest::newRow("huge") << "realm.key" << QByteArray(1 << 20, 'A') << none << notAKey;
    QTest::newRow("public key file") << "realm.pub" << QByteArray(32, 'p').toBase64() + '\n'
                                     << none << "%1: is a public key";
    QTest::newRow("missing") << "realm.key" << QByteArray() << none << "%1: cannot read";
    // Told by their content, not by their name.
    QTest::newRow("public key copied to x.key")
        << "x.key" << publicA << none << "%1: holds the bare base64 of 32 bytes, as a public key";
    QTest::newRow("public key copied over its private key")
        << "realm.key" << publicA << publicA << "%1: holds the public key of %2, not its private";
    QTest::newRow("private key of another pair")
        << "realm.key" << privateA << publicB << "%1: is not the private key of %2 beside it";
}

// A key that cannot sign is an error before anything is written: the manifest and its
// signature stay as they were.
void TestPublish::badKeyFailsAndKeepsManifest()
{
    QFETCH(QString, keyName);
    QFETCH(QByteArray, keyText);
    QFETCH(QByteArray, pairText);
    QFETCH(QString, message);

    QTemporaryDir dir;
    makeFile(dir.filePath("updates/ruRU/good.MPQ"), "good");
    const QString output = dir.filePath("site/ClientUpdates.json");
    makeFile(output, OldManifest);
    makeFile(output + ".sig", "old signature\n");
    if (!keyText.isNull())
        makeFile(dir.filePath(keyName), keyText);
    const QString pairPath = dir.filePath(keyName.section('.', 0, 0) + ".pub");
    if (!pairText.isNull())
        makeFile(pairPath, pairText);

    const Run run = runPublisher({"--sign", dir.filePath(keyName), dir.filePath("updates"), "1.1",
                                  "http://h/", "--output", output});
    QCOMPARE(run.exitCode, 1);
    const QString expected =
        QString(message).replace("%1", dir.filePath(keyName)).replace("%2", pairPath);
    QVERIFY2(run.err.contains("error: " + expected), qPrintable(run.err));
    QCOMPARE(readFile(output), OldManifest);
    QCOMPARE(readFile(output + ".sig"), QByteArray("old signature\n"));
    QCOMPARE(QDir(dir.filePath("site")).entryList(QDir::Files | QDir::Hidden),
             QStringList({"ClientUpdates.json", "ClientUpdates.json.sig"}));
}

void TestPublish::keygenHint_data()
{
    QTest::addColumn<QStringList>("trusted"); // key pairs made before, given with --trusted
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("expected"); // {new}, {old1}...: the keys' base64 texts

    QTest::newRow("a first key")
        << QStringList() << 0
        << QStringList{"A first key: build the launcher with -DEMBERCREST_MANIFEST_PUBKEY={new}\n",
                       "A key that replaces another: build with both, "
                       "\"-DEMBERCREST_MANIFEST_PUBKEY=<old key>;{new}\", and sign with the old "
                       "key until the players have that launcher"};
    // The launchers out there trust the old key only: it stays in the list.
    QTest::newRow("a key that replaces another")
        << QStringList{"old1"} << 0
        << QStringList{
               "\"-DEMBERCREST_MANIFEST_PUBKEY={old1};{new}\"",
               "and keep signing with one of those keys until the players have that launcher"};
    QTest::newRow("two keys trusted")
        << QStringList{"old1", "old2"} << 0
        << QStringList{"\"-DEMBERCREST_MANIFEST_PUBKEY={old1};{old2};{new}\""};
    QTest::newRow("four keys trusted")
        << QStringList{"old1", "old2", "old3", "old4"} << 1 << QStringList{"the most there may be"};
}

// keygen's advice on building the launcher never strands the players: a new key joins the
// keys that launchers trust, it does not replace them.
void TestPublish::keygenHint()
{
    QFETCH(QStringList, trusted);
    QFETCH(int, exitCode);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    QStringList arguments{"keygen", dir.filePath("new")};
    QMap<QString, QString> keys;
    for (const QString &name : trusted) {
        QString problem;
        keys.insert(name,
                    QString::fromLatin1(Publish::generateKeyFiles(dir.filePath(name), &problem)));
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        arguments << "--trusted" << dir.filePath(name + ".pub");
    }
    const Run run = runPublisher(arguments);
    QCOMPARE(run.exitCode, exitCode);
    keys.insert("new", QString::fromLatin1(readFile(dir.filePath("new.pub")).trimmed()));
    for (QString text : expected) {
        for (auto key = keys.cbegin(); key != keys.cend(); ++key)
            text.replace('{' + key.key() + '}', key.value());
        QVERIFY2((exitCode == 0 ? run.out : run.err).contains(text), qPrintable(run.out + run.err));
    }
    // Never the new key alone: a launcher built so refuses everything signed with the old one.
    if (!trusted.isEmpty())
        QVERIFY2(!run.out.contains("-DEMBERCREST_MANIFEST_PUBKEY=" + keys.value("new")),
                 qPrintable(run.out));
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
    // The private key starts with a text of its own, so that it passes for no public key.
    QCOMPARE(privateKey.size(), 68);
    QVERIFY(privateKey.startsWith("EMBERCREST-PRIVATE-KEY:"));
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
        // The first signed publication says where its serials start.
        const QStringList first = run == 0 ? QStringList{"--serial", "1"} : QStringList();
        const Run signedRun =
            runPublisher(QStringList{"--sign", name + ".key", updates, "1.1", "http://h/",
                                     "--output", manifest, "--date", "2024-01-01"} +
                         first);
        QVERIFY2(signedRun.exitCode == 0, qPrintable(signedRun.err));
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
    // The manifest names the key it is signed for, for the launcher's log.
    QCOMPARE(QJsonDocument::fromJson(readFile(manifest))
                 .object()
                 .value("security")
                 .toObject()
                 .value("key")
                 .toString()
                 .toLatin1(),
             publicKey.trimmed());

    // A private key as keygen wrote it before the prefix, beside its public key, still signs.
    const QString old = dir.filePath("old");
    makeFile(old + ".key", privateKey.mid(int(strlen("EMBERCREST-PRIVATE-KEY:"))));
    makeFile(old + ".pub", publicKey);
    const Run oldKeyRun =
        runPublisher({"--sign", old + ".key", updates, "1.2", "http://h/", "--output", manifest});
    QVERIFY2(oldKeyRun.exitCode == 0, qPrintable(oldKeyRun.err));
    QVERIFY2(oldKeyRun.err.contains("warning: " + old +
                                    ".key: a private key without the EMBERCREST-PRIVATE-KEY:"),
             qPrintable(oldKeyRun.err));
    QVERIFY(ManifestSignature::verify(readFile(manifest), readFile(signature), publicKey).accepted);

    const Run unsignedRun =
        runPublisher({updates, "1.3", "http://h/", "--output", manifest, "--unsigned"});
    QCOMPARE(unsignedRun.exitCode, 0);
    QVERIFY2(unsignedRun.err.contains("warning: " + signature + ": removed"),
             qPrintable(unsignedRun.err));
    QVERIFY(!QFileInfo::exists(signature));
}

void TestPublish::verify_data()
{
    QTest::addColumn<QString>("publication"); // signed, intruder, unsigned, expired, changed
    QTest::addColumn<QString>("where");       // "file", "url" or the URL path after the root
    QTest::addColumn<QString>("trusted");     // --trusted: realm.pub, realm.key, or none
    QTest::addColumn<int>("exitCode");
    // {manifest}: its path or URL; {realm}, {intruder}: the keys' fingerprints; {realm.pub}
    QTest::addColumn<QString>("expected");

    const QString good =
        "Verified {manifest}: version 1.1, serial 7, expires 2100-01-31T00:00:00Z, "
        "signed by key {realm} ({realm.pub})";
    QTest::newRow("signed, file") << "signed"
                                  << "file"
                                  << "realm.pub" << 0 << good;
    QTest::newRow("signed, URL") << "signed"
                                 << "url"
                                 << "realm.pub" << 0 << good;
    QTest::newRow("signed with another key, URL")
        << "intruder"
        << "url"
        << "realm.pub" << 1
        << "error: {manifest}: refused: signed by key {intruder}, this launcher trusts {realm}: ";
    QTest::newRow("changed after signing, file")
        << "changed"
        << "file"
        << "realm.pub" << 1
        << "error: {manifest}: refused: the signature does not match the manifest";
    QTest::newRow("no signature, URL")
        << "unsigned"
        << "url"
        << "realm.pub" << 1
        << "error: {manifest}.sig: HTTP status 404: launchers built with a key refuse";
    QTest::newRow("expired, URL") << "expired"
                                  << "url"
                                  << "realm.pub" << 1
                                  << "error: {manifest}: expired at 2026-01-31T00:00:00Z, and it";
    QTest::newRow("redirected, URL") << "signed"
                                     << "folder"
                                     << "realm.pub" << 1 << "a redirect to ";
    QTest::newRow("no manifest, URL") << "signed"
                                      << "missing.json"
                                      << "realm.pub" << 1 << "error: {manifest}: HTTP status 404";
    QTest::newRow("private key as --trusted")
        << "signed"
        << "file"
        << "realm.key" << 1 << "a private key (NAME.key), where the public";
    QTest::newRow("no trusted keys") << "signed"
                                     << "file"
                                     << "" << 2 << "--trusted";
}

// verify reads a manifest and its signature as launchers that trust the given keys would, from
// files before upload or from the URL that players fetch.
void TestPublish::verify()
{
    QFETCH(QString, publication);
    QFETCH(QString, where);
    QFETCH(QString, trusted);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);
    if (where != "file" && serverRoot.isEmpty())
        QSKIP("python3 -m http.server did not start");

    const QString folder = "verify" + QString::number(++servedFolders);
    const QString updates = served.filePath(folder);
    makeFile(updates + "/ruRU/a.MPQ", "a");
    QMap<QString, QString> shown;
    for (const QString name : {"realm", "intruder"}) {
        QString problem;
        const QByteArray key = Publish::generateKeyFiles(served.filePath(name + folder), &problem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        shown.insert('{' + name + '}', fingerprint(key));
    }
    const QString manifest = updates + "/ClientUpdates.json";
    QStringList options{"--serial", "7", "--expires", "30"};
    if (publication != "unsigned")
        options << "--sign"
                << served.filePath((publication == "intruder" ? "intruder" : "realm") + folder +
                                   ".key");
    if (publication == "expired")
        options << "--allow-expired";
    // 2100-01-01, or 2026-01-01 for the expired one.
    qputenv("SOURCE_DATE_EPOCH", publication == "expired" ? "1767225600" : "4102444800");
    const Run published = runPublisher(
        QStringList{updates, "1.1", "http://h/", "--output", manifest, "--date", "2024-01-01"} +
        options);
    qunsetenv("SOURCE_DATE_EPOCH");
    QVERIFY2(published.exitCode == 0, qPrintable(published.err));
    if (publication == "changed")
        makeFile(manifest, readFile(manifest).replace("\"1.1\"", "\"1.2\""));

    const QString url = serverRoot + folder + "/ClientUpdates.json";
    const QString target = where == "file"     ? manifest
                           : where == "url"    ? url
                           : where == "folder" ? QString(serverRoot + folder)
                                               : QString(serverRoot + folder + '/' + where);
    QStringList arguments{"verify", target};
    const QString trustedPath = served.filePath("realm" + folder + '.' + trusted.section('.', 1));
    if (!trusted.isEmpty())
        arguments << "--trusted" << trustedPath;
    const Run run = runPublisher(arguments);
    QCOMPARE(run.exitCode, exitCode);
    shown.insert("{manifest}", target);
    shown.insert("{realm.pub}", trustedPath);
    for (auto value = shown.cbegin(); value != shown.cend(); ++value)
        expected.replace(value.key(), value.value());
    QVERIFY2((exitCode == 0 ? run.out : run.err).contains(expected), qPrintable(run.out + run.err));
}

void TestPublish::launcherRelease_data()
{
    QTest::addColumn<QStringList>("options"); // {exe}, {dll}, {elf}: launcher files made here
    QTest::addColumn<bool>("signs");          // --sign, with --serial 1 and --trusted
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected"); // the error; empty when written

    const QStringList release{"--launcher-version",    "1.2",
                              "--launcher-file",       "windows-x86_64={exe}",
                              "--launcher-file",       "linux-x86_64={elf}",
                              "--launcher-file",       "windows-x86_64={dll}",
                              "--launcher-minimum-os", "windows-x86_64=10.0.17763"};
    QTest::newRow("two platforms") << release << true << 0 << "";
    QTest::newRow("no launcher among a platform's files")
        << QStringList{"--launcher-version", "1.2", "--launcher-file", "windows-x86_64={dll}"}
        << true << 1
        << "error: the launcher files for windows-x86_64 do not include the launcher, "
           "embercrest-launcher.exe";
    QTest::newRow("five numbers") << QStringList{"--launcher-version", "1.2.3.4.5",
                                                 "--launcher-file", "linux-x86_64={elf}"}
                                  << true << 2
                                  << "launcher version \"1.2.3.4.5\" must be 1 to 4 numbers";
    // Launchers and their starter read at most 9 digits a part.
    QTest::newRow("ten digits") << QStringList{"--launcher-version", "1.2000000000",
                                               "--launcher-file", "linux-x86_64={elf}"}
                                << true << 2 << "launcher version \"1.2000000000\" must be";
    // Launchers ignore the member in an unsigned manifest: a release that reaches no one.
    QTest::newRow("without --sign")
        << release << false << 1 << "error: launcher 1.2 without --sign";
    QTest::newRow("no release") << QStringList() << true << 0 << "";
}

// A launcher release is copied into the update folder and listed, with the size and SHA-256 of
// each copy, in the signed manifest; without one, the folder of an earlier release is left alone.
void TestPublish::launcherRelease()
{
    QFETCH(QStringList, options);
    QFETCH(bool, signs);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    const QMap<QString, QString> sources{{"{exe}", "dist/embercrest-launcher.exe"},
                                         {"{dll}", "dist/Qt5Core.dll"},
                                         {"{elf}", "build/embercrest-launcher"}};
    for (auto source = sources.cbegin(); source != sources.cend(); ++source) {
        makeFile(dir.filePath(source.value()), "bytes of " + source.value().toUtf8());
        options.replaceInStrings(source.key(), dir.filePath(source.value()));
    }
    const QString updates = dir.filePath("updates");
    makeFile(updates + "/ruRU/a.MPQ", "a");
    makeFile(updates + "/launcher/1.1/linux-x86_64/embercrest-launcher", "1.1");
    const QString output = updates + "/ClientUpdates.json";
    makeFile(output, OldManifest);
    QString problem;
    Publish::generateKeyFiles(dir.filePath("realm"), &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    if (signs)
        options << "--sign" << dir.filePath("realm.key") << "--trusted" << dir.filePath("realm.pub")
                << "--serial"
                << "1";

    const Run run =
        runPublisher(QStringList{updates, "1.4", "https://cdn.example.org/wotlk/"} + options);
    QCOMPARE(run.exitCode, exitCode);
    const QStringList versions =
        QDir(updates + "/launcher").entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    if (exitCode != 0) {
        QVERIFY2(run.err.contains(expected), qPrintable(run.err));
        QCOMPARE(readFile(output), OldManifest);
        QCOMPARE(versions, QStringList{"1.1"});
        return;
    }
    QVERIFY2(run.err.isEmpty(), qPrintable(run.err));
    const QJsonObject manifest = QJsonDocument::fromJson(readFile(output)).object();
    QCOMPARE(manifest.value("integrity").toObject().keys(),
             QStringList{"https://cdn.example.org/wotlk/ruRU/a.MPQ"});
    if (!options.contains("--launcher-version")) {
        QVERIFY2(!manifest.contains("launcher"), qPrintable(readFile(output)));
        QCOMPARE(versions, QStringList{"1.1"});
        return;
    }

    const QJsonObject launcher = manifest.value("launcher").toObject();
    QCOMPARE(launcher.value("version").toString(), QString("1.2"));
    const QJsonObject minimumOs{{"windows-x86_64", "10.0.17763"}};
    QCOMPARE(launcher.value("minimumOs").toObject(), minimumOs);
    const QJsonObject files = launcher.value("files").toObject();
    // Each platform's files in the order of their names.
    const QMap<QString, QStringList> listed{{"linux-x86_64", {"{elf}"}},
                                            {"windows-x86_64", {"{dll}", "{exe}"}}};
    QCOMPARE(files.keys(), listed.keys());
    for (auto platform = listed.cbegin(); platform != listed.cend(); ++platform) {
        const QJsonArray list = files.value(platform.key()).toArray();
        QCOMPARE(list.size(), platform.value().size());
        for (int i = 0; i < list.size(); ++i) {
            const QString source = sources.value(platform.value().at(i));
            const QByteArray bytes = readFile(dir.filePath(source));
            const QString name = QFileInfo(source).fileName();
            const QString copy = "launcher/1.2/" + platform.key() + '/' + name;
            const QJsonObject entry = list.at(i).toObject();
            QCOMPARE(entry.value("path").toString(), name);
            QCOMPARE(entry.value("url").toString(), "https://cdn.example.org/wotlk/" + copy);
            QCOMPARE(entry.value("size").toVariant().toLongLong(), qint64(bytes.size()));
            QCOMPARE(entry.value("sha256").toString().toLatin1(),
                     QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
            QCOMPARE(readFile(updates + '/' + copy), bytes);
        }
    }
    QCOMPARE(versions, QStringList({"1.1", "1.2"}));

    const Run verified = runPublisher({"verify", output, "--trusted", dir.filePath("realm.pub")});
    QCOMPARE(verified.exitCode, 0);
    QVERIFY2(verified.out.contains("\nLauncher: 1.2 (linux-x86_64, windows-x86_64)\n"),
             qPrintable(verified.out));
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

    const Publish::Report report = Publish::publish(request(
        folder, "2.3", "http://127.0.0.1:8000/", "2023-02-01", dir.filePath("library.json")));
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
