#include "targetinvariant.h"
#include "testrandom.h"
#include "updater/targetpath.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

// Property test of the download target: for thousands of generated URL texts, locales and client
// folders, the file is refused or lands as one entry directly inside <ClientDir>/Data/<locale>/.
class TestTargetPath : public QObject
{
    Q_OBJECT

private slots:
    void deviceAndUnencodableNames_data();
    void deviceAndUnencodableNames();
    void generatedTargetsStayInside();
    void writtenTargetsStayInside();
};

namespace {

const int kCases = 6000;
const QStringList kLocales{"ruRU", "enGB", "enUS", "esMX", "deDE", "frFR"};

QString longText(int size)
{
    return QString(size, QLatin1Char('a'));
}

// Pieces of path segments: plain names, dots, encoded and look-alike separators, drive and
// stream colons, Windows device names, control characters, non-ASCII, very long names.
const QStringList kAtoms{"a.bin",
                         "patch-4.MPQ",
                         "Interface Art",
                         "..",
                         ".",
                         "",
                         "%2e%2e",
                         "%2E%2e",
                         "%2e",
                         "%2f",
                         "%5c",
                         "%00",
                         "C:",
                         "c:x",
                         ":",
                         "CON",
                         "nul.txt",
                         "Com1",
                         "lpt9.log",
                         "COM\u00b9",
                         "CONOUT$",
                         "aux .txt",
                         " ",
                         "\t",
                         "\r\n",
                         "x.",
                         "y ",
                         "\u0444\u0430\u0439\u043b",
                         "\u00fc",
                         "\u65e5\u672c",
                         "\u202e",
                         "\uff0f",
                         "\u2215",
                         QString(QChar(0xd800)),
                         QString(QChar(0)),
                         "\x7f",
                         "*",
                         "<>",
                         "|",
                         "\"",
                         "~",
                         "$",
                         "%",
                         "+",
                         "&",
                         longText(300),
                         longText(5000)};
const QStringList kSeparators{"/", "/", "/", "\\", "//", "%2f", "/./", "/../", "\\..\\"};
const QStringList kPrefixes{"http://up.example/files/",
                            "http://up.example",
                            "https://h:8080/a/b/",
                            "",
                            "file:///",
                            "//h/",
                            "http://[::1]/",
                            "C:\\"};
const QStringList kSuffixes{"",     "",     "",  "?v=2", "?a=/../../x", "#frag",
                            "#/..", "?x#y", "?", "#",    ";p=1"};
const QStringList kOddLocales{"..", ".", "", "ru/RU", "ru\\RU", "C:", "CON", "ruRU ", "ruRU."};
const QStringList kClientDirs{"/srv/games/Client",
                              "/srv/games/Client/",
                              "/srv/Game Folder/WoW",
                              "/",
                              "C:/Games/WoW",
                              "/srv/a/../b",
                              ""};

QString segment(TestRandom &random)
{
    QString text;
    const int atoms = 1 + random.below(3);
    for (int i = 0; i < atoms; ++i)
        text += random.pick(kAtoms);
    return text;
}

QString urlText(TestRandom &random)
{
    QString text = random.pick(kPrefixes);
    const int segments = 1 + random.below(5);
    for (int i = 0; i < segments; ++i)
        text += (i ? random.pick(kSeparators) : QString()) + segment(random);
    return text + random.pick(kSuffixes);
}

QString locale(TestRandom &random)
{
    return random.chance(85) ? random.pick(kLocales) : random.pick(kOddLocales);
}

// Control characters and surrogates escaped, so that a failure message shows the whole text.
QString escaped(const QString &text)
{
    QString shown;
    for (const QChar c : text.left(400)) {
        if (c.unicode() < 0x20 || c.isSurrogate())
            shown += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return text.size() > 400 ? shown + QStringLiteral("...") : shown;
}

QString describe(const QString &clientDir, const QString &locale, const QString &url)
{
    return QStringLiteral("client \"%1\", locale \"%2\", URL \"%3\"")
        .arg(escaped(clientDir), escaped(locale), escaped(url));
}

// Every entry below `root`, as paths relative to it.
QStringList entriesBelow(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(root).relativeFilePath(it.next());
    entries.sort();
    return entries;
}

} // namespace

// Names that are one entry on Linux but not a file, or not this file, elsewhere.
void TestTargetPath::deviceAndUnencodableNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("writable");
    QTest::newRow("console output") << "CONOUT$" << false;
    QTest::newRow("console input, extension") << "conin$.log" << false;
    QTest::newRow("port 0") << "COM0" << false;
    QTest::newRow("superscript port") << "lpt\u00b2.txt" << false;
    QTest::newRow("spaces before the extension") << "aux  .txt" << false;
    QTest::newRow("lone high surrogate") << QString("a" + QString(QChar(0xd800)) + ".bin") << false;
    QTest::newRow("lone low surrogate") << QString(QString(QChar(0xdc00)) + "a.bin") << false;
    QTest::newRow("device name inside a word") << "CONSOLE.log" << true;
    QTest::newRow("port 10") << "COM10" << true;
    QTest::newRow("surrogate pair") << "\U0001F600.bin" << true;
}

void TestTargetPath::deviceAndUnencodableNames()
{
    QFETCH(QString, name);
    const DownloadTarget target = downloadTarget(QStringLiteral("/c"), QStringLiteral("ruRU"),
                                                 QStringLiteral("http://h/f/") + name);
    QTEST(target.writable, "writable");
}

void TestTargetPath::generatedTargetsStayInside()
{
    TestRandom random(73);
    int accepted = 0;
    for (int i = 0; i < kCases; ++i) {
        const QString clientDir = random.pick(kClientDirs);
        const QString loc = locale(random);
        const QString url = urlText(random);
        const DownloadTarget target = downloadTarget(clientDir, loc, url);
        const QString violation = targetViolation(clientDir, loc, target);
        QVERIFY2(violation.isEmpty(), qPrintable(describe(clientDir, loc, url) +
                                                 QStringLiteral(": ") + escaped(violation)));
        accepted += target.writable;
    }
    // Not a vacuous pass: ordinary names are still saved.
    QVERIFY2(accepted > kCases / 10, qPrintable(QString::number(accepted)));
}

// The same promise on a real disk: writing every accepted target adds exactly that one file to
// its locale folder and nothing anywhere else.
void TestTargetPath::writtenTargetsStayInside()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString clientDir = root.filePath(QStringLiteral("Client"));
    for (const QString &code : kLocales)
        QVERIFY(QDir().mkpath(clientDir + QStringLiteral("/Data/") + code));
    const QStringList before = entriesBelow(root.path());

    TestRandom random(1931);
    int written = 0;
    for (int i = 0; i < kCases / 2; ++i) {
        const QString loc = random.pick(kLocales);
        const QString url = urlText(random);
        const DownloadTarget target = downloadTarget(clientDir, loc, url);
        if (!target.writable)
            continue;
        const QDir folder(clientDir + QStringLiteral("/Data/") + loc);
        QFile file(target.path);
        if (!file.open(QIODevice::WriteOnly))
            continue; // a name the file system refuses (too long) is a failed download, no more
        file.close();
        ++written;
        const QFileInfo info(target.path);
        QVERIFY2(info.canonicalPath() == folder.canonicalPath() &&
                     folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden |
                                      QDir::System)
                             .size() == 1,
                 qPrintable(describe(clientDir, loc, url)));
        QVERIFY(file.remove());
    }
    QVERIFY2(written > kCases / 20, qPrintable(QString::number(written)));
    QCOMPARE(entriesBelow(root.path()), before);
}

QTEST_APPLESS_MAIN(TestTargetPath)
#include "tst_targetpath.moc"
