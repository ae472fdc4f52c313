#include "config/config.h"
#include "config/delays.h"
#include "testutil.h"

#include <QDir>
#include <QSettings>
#include <QtTest>

using namespace Config;

class TestConfig : public QObject
{
    Q_OBJECT

private slots:
    void defaultsAreTheTwentyKeys();
    void presenceTest();
    void missingAndEmptyKeysReadEmpty();
    void valuesRoundTripAsText();
    void resetClearsOnlyWotlkLocales();
    void probeDerivesFolderNameAndLocales();
    void probeOfMissingFileStoresOnlyThePath();
    void garbageFileNeverBreaksReadsOrWrites();
    void directoryInPlaceOfFileLosesWritesSilently();
    void delaysAreFiveSecondsUnlessShortened_data();
    void delaysAreFiveSecondsUnlessShortened();
};

void TestConfig::defaultsAreTheTwentyKeys()
{
    ScopedWorkDir work;
    CreateDefaultConfig();
    QVERIFY(ConfigExists(FileName));

    const QSettings file(FileName, QSettings::IniFormat);
    QStringList expected{"ClientLocation/WOTLK", "ClientLocation/LEGION", "ClientDir/WOTLK",
                         "ClientDir/LEGION",     "ClientExe/WOTLK",       "ClientExe/LEGION",
                         "ClientVersion/WOTLK",  "ClientVersion/LEGION"};
    for (const QString &code : localeCodes())
        expected << "WClientLocale/" + code << "LClientLocale/" + code;
    QStringList keys = file.allKeys();
    keys.sort();
    expected.sort();
    QCOMPARE(keys, expected);
    QCOMPARE(file.childGroups().size(), 6);
    QVERIFY(!file.childGroups().contains("Main"));

    QCOMPARE(ReadSetting("ClientVersion", "WOTLK"), QString("0.0"));
    QCOMPARE(ReadSetting("ClientVersion", "LEGION"), QString("0.0"));
    QCOMPARE(ReadSetting("ClientLocation", "WOTLK"), QString(""));
    for (const QString &code : localeCodes()) {
        QCOMPARE(ReadSetting("WClientLocale", code), QString("0"));
        QCOMPARE(ReadSetting("LClientLocale", code), QString("0"));
    }
}

void TestConfig::presenceTest()
{
    ScopedWorkDir work;
    QVERIFY(!ConfigExists(FileName));
    QVERIFY(QDir().mkdir(FileName));
    QVERIFY(!ConfigExists(FileName)); // a directory of that name counts as missing
    QVERIFY(QDir().rmdir(FileName));
    QVERIFY(writeFile(FileName, ""));
    QVERIFY(ConfigExists(FileName));
}

void TestConfig::missingAndEmptyKeysReadEmpty()
{
    ScopedWorkDir work;
    QCOMPARE(ReadSetting("ClientLocation", "WOTLK"), QString("")); // no file at all
    CreateDefaultConfig();
    WriteSetting("ClientLocation", "WOTLK", "C:/Games/Wow.exe");
    QCOMPARE(ReadSetting("ClientLocation", ""), QString(""));
    QCOMPARE(ReadSetting("Main", "MinimizeOnPlay"), QString(""));
    QCOMPARE(ReadSetting("NoSuchGroup", "NoSuchKey"), QString(""));
}

void TestConfig::valuesRoundTripAsText()
{
    ScopedWorkDir work;
    const QStringList values{"yes",
                             "0.0",
                             "3.10",
                             "C:/Program Files (x86)/World of Warcraft/Wow.exe",
                             "/home/игрок/Games/wow \"3.3.5\"/Wow.exe",
                             "a=b;c,d#e\\f",
                             "  padded  "};
    for (const QString &value : values) {
        WriteSetting("ClientLocation", "WOTLK", value);
        QCOMPARE(ReadSetting("ClientLocation", "WOTLK"), value);
    }
    // Every write lands in the file at once and leaves the other keys alone.
    WriteSetting("Main", "MinimizeOnPlay", "no");
    QCOMPARE(ReadSetting("ClientLocation", "WOTLK"), values.last());
    QVERIFY(readFile(FileName).contains("MinimizeOnPlay=no"));

    // A Qt 5 build writes non-Latin-1 text as escapes; a Qt 6 build reads them back the same.
    QVERIFY(writeFile(FileName,
                      "[ClientLocation]\nWOTLK=/home/\\x438\\x433\\x440\\x43e\\x43a/Wow.exe\n"));
    QCOMPARE(ReadSetting("ClientLocation", "WOTLK"), QStringLiteral("/home/игрок/Wow.exe"));
}

void TestConfig::resetClearsOnlyWotlkLocales()
{
    ScopedWorkDir work;
    CreateDefaultConfig();
    for (const QString &code : localeCodes()) {
        WriteSetting("WClientLocale", code, "1");
        WriteSetting("LClientLocale", code, "1");
    }
    ResetWotlkLocales();
    for (const QString &code : localeCodes()) {
        QCOMPARE(ReadSetting("WClientLocale", code), QString("0"));
        QCOMPARE(ReadSetting("LClientLocale", code), QString("1"));
    }
}

void TestConfig::probeDerivesFolderNameAndLocales()
{
    ScopedWorkDir work;
    CreateDefaultConfig();
    const QString client = work.filePath("Games/Client");
    QVERIFY(QDir().mkpath(client + "/Data/ruRU"));
    QVERIFY(writeFile(client + "/Data/enGB", "not a folder"));
    QVERIFY(writeFile(client + "/Game.exe", "MZ"));

    ResetWotlkLocales();
    ProbeWotlkClient(client + "/Game.exe");

    QCOMPARE(ReadSetting("ClientLocation", "WOTLK"), client + "/Game.exe");
    QCOMPARE(ReadSetting("ClientDir", "WOTLK"), QFileInfo(client + "/Game.exe").absolutePath());
    QCOMPARE(ReadSetting("ClientExe", "WOTLK"), QString("Game.exe"));
    QCOMPARE(ReadSetting("WClientLocale", "ruRU"), QString("1"));
    for (const char *code : {"enGB", "enUS", "esMX", "deDE", "frFR"})
        QCOMPARE(ReadSetting("WClientLocale", code), QString("0"));
}

void TestConfig::probeOfMissingFileStoresOnlyThePath()
{
    ScopedWorkDir work;
    CreateDefaultConfig();
    WriteSetting("ClientDir", "WOTLK", "/old/dir");
    WriteSetting("ClientExe", "WOTLK", "Old.exe");

    const QString missing = work.filePath("nowhere/Wow.exe");
    ProbeWotlkClient(missing);
    QCOMPARE(ReadSetting("ClientLocation", "WOTLK"), missing);
    QCOMPARE(ReadSetting("ClientDir", "WOTLK"), QString("/old/dir"));
    QCOMPARE(ReadSetting("ClientExe", "WOTLK"), QString("Old.exe"));

    // A folder is not an executable either.
    ProbeWotlkClient(work.path());
    QCOMPARE(ReadSetting("ClientLocation", "WOTLK"), work.path());
    QCOMPARE(ReadSetting("ClientDir", "WOTLK"), QString("/old/dir"));
}

void TestConfig::garbageFileNeverBreaksReadsOrWrites()
{
    ScopedWorkDir work;
    QByteArray garbage;
    for (int i = 0; i < 64 * 1024; ++i)
        garbage.append(char((i * 7919 + 13) % 256));
    garbage.replace('=', '_'); // no accidental key=value pair that names a real key
    QVERIFY(writeFile(FileName, garbage));

    QCOMPARE(ReadSetting("ClientLocation", "WOTLK"), QString(""));
    QCOMPARE(ReadSetting("ClientVersion", "WOTLK"), QString(""));
    WriteSetting("ClientVersion", "WOTLK", "1.2");
    QCOMPARE(ReadSetting("ClientVersion", "WOTLK"), QString("1.2"));
    ProbeWotlkClient(work.filePath("missing.exe"));
    ResetWotlkLocales();
    QCOMPARE(ReadSetting("WClientLocale", "ruRU"), QString("0"));
}

void TestConfig::directoryInPlaceOfFileLosesWritesSilently()
{
    ScopedWorkDir work;
    QVERIFY(QDir().mkdir(FileName));
    CreateDefaultConfig();
    WriteSetting("Main", "MinimizeOnPlay", "yes");
    ProbeWotlkClient(work.filePath("x.exe"));
    QVERIFY(QFileInfo(FileName).isDir());
    QCOMPARE(ReadSetting("ClientVersion", "WOTLK"), QString(""));
    QCOMPARE(ReadSetting("Main", "MinimizeOnPlay"), QString(""));
}

void TestConfig::delaysAreFiveSecondsUnlessShortened_data()
{
    QTest::addColumn<QByteArray>("variable"); // null: EMBERCREST_DELAY_MS unset
    QTest::addColumn<int>("delay");
    QTest::newRow("unset, as for a player") << QByteArray() << 5000;
    QTest::newRow("shortened") << QByteArray("60") << 60;
    QTest::newRow("none") << QByteArray("0") << 0;
    QTest::newRow("not a number") << QByteArray("soon") << 5000;
    QTest::newRow("negative") << QByteArray("-1") << 5000;
}

// Every other suite shortens the delays; the product's own are read here.
void TestConfig::delaysAreFiveSecondsUnlessShortened()
{
    QFETCH(QByteArray, variable);
    QFETCH(int, delay);
    const QByteArray before = qgetenv("EMBERCREST_DELAY_MS");
    const bool wasSet = qEnvironmentVariableIsSet("EMBERCREST_DELAY_MS");
    if (variable.isNull())
        qunsetenv("EMBERCREST_DELAY_MS");
    else
        qputenv("EMBERCREST_DELAY_MS", variable);
    const int statusHide = Delays::statusHide();
    const int queueStart = Delays::queueStart();
    if (wasSet)
        qputenv("EMBERCREST_DELAY_MS", before);
    else
        qunsetenv("EMBERCREST_DELAY_MS");
    QCOMPARE(statusHide, delay);
    QCOMPARE(queueStart, delay);
}

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
