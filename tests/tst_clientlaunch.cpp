#include "config/config.h"
#include "testutil.h"
#include "ui/mainwindow.h"
#include "ui/style.h"

#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QTranslator>
#include <QtTest>

namespace {

const QString WotlkRule =
    QStringLiteral("QMainWindow { background: url(':/media/wotlk-bg_small.jpg') no-repeat; }");
const QString LegionRule =
    QStringLiteral("QMainWindow { background: url(':/media/legion-bg_small.jpg') no-repeat; }");

// A stand-in game client: a shell script that runs the given commands, with $here naming the
// script's folder. The commands leave files there, which the test then waits for.
QString writeClient(const QString &folder, const QByteArray &commands)
{
    const QString path = folder + QStringLiteral("/Wow.sh");
    if (!writeFile(path, "#!/bin/sh\nhere='" + folder.toUtf8() + "'\n" + commands))
        return QString();
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

// Keeps a stand-in client running (at most about ten seconds) until the test creates "go" or
// its folder is gone.
const QByteArray WaitForGo = "for i in $(seq 200); do\n"
                             "  { [ -e \"$here/go\" ] || [ ! -d \"$here\" ]; } && break\n"
                             "  sleep 0.05\n"
                             "done\n";

// Running processes started from the script (and, briefly, their forks). A detached start
// returns once the program runs, so a client started just now is already counted.
int runningCopies(const QString &script)
{
    int count = 0;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : pids) {
        const QList<QByteArray> args =
            readFile(QStringLiteral("/proc/") + pid + QStringLiteral("/cmdline")).split('\0');
        if (args.contains(script.toUtf8()))
            ++count;
    }
    return count;
}

QStringList linesOf(const QString &path)
{
    return QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// A stand-in Wine: records its working directory, its arguments and WINEPREFIX, one per line,
// in wine-runs.txt beside itself. Shell built-ins only, as PATH may hold nothing else.
QString writeFakeWine(const QString &folder, const QString &name)
{
    const QString path = folder + QLatin1Char('/') + name;
    const QByteArray log = folder.toUtf8() + "/wine-runs.txt";
    if (!writeFile(path, "#!/bin/sh\n{ pwd -P; for a in \"$@\"; do echo \"$a\"; done\n"
                         "  echo \"WINEPREFIX=$WINEPREFIX\"; } >> '" +
                             log + "'\n"))
        return QString();
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

// Sets PATH and EMBERCREST_WINE for one test and puts the old values back.
class ScopedWineEnvironment
{
public:
    ScopedWineEnvironment(const QByteArray &path, const QByteArray &wine)
        : oldPath(qgetenv("PATH")), oldWine(qgetenv("EMBERCREST_WINE")),
          hadWine(qEnvironmentVariableIsSet("EMBERCREST_WINE"))
    {
        qputenv("PATH", path);
        if (wine.isNull())
            qunsetenv("EMBERCREST_WINE");
        else
            qputenv("EMBERCREST_WINE", wine);
        qputenv("WINEPREFIX", "/tmp/prefix of the player");
    }
    ~ScopedWineEnvironment()
    {
        qputenv("PATH", oldPath);
        if (hadWine)
            qputenv("EMBERCREST_WINE", oldWine);
        else
            qunsetenv("EMBERCREST_WINE");
        qunsetenv("WINEPREFIX");
    }

private:
    QByteArray oldPath;
    QByteArray oldWine;
    bool hadWine;
};

void clickPlay(MainWindow &window)
{
    QVERIFY(QMetaObject::invokeMethod(&window, "RunClient"));
}

} // namespace

class TestClientLaunch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void playStartsOnlyTheChosenClient();
    void minimizeOnPlay_data();
    void minimizeOnPlay();
    void clientOutlivesTheLauncher();
    void backgroundFollowsTheChosenClient();
    void windowsClientRunsThroughWine_data();
    void windowsClientRunsThroughWine();
    void missingWineIsShown_data();
    void missingWineIsShown();
};

void TestClientLaunch::initTestCase()
{
#ifndef Q_OS_LINUX
    QSKIP("The stand-in clients are shell scripts, watched through /proc");
#endif
}

void TestClientLaunch::playStartsOnlyTheChosenClient()
{
    ScopedWorkDir work;
    QVERIFY(QDir().mkdir(QStringLiteral("client")));
    const QString client = writeClient(work.filePath(QStringLiteral("client")),
                                       "pwd -P >> \"$here/runs.txt\"\n" + WaitForGo);
    QVERIFY(!client.isEmpty());
    // A top-level key of that name must not stand in for a client when none is chosen.
    QVERIFY(writeFile(Config::FileName, "[General]\nClientLocation=" + client.toUtf8() + "\n"));
    Config::CreateDefaultConfig();
    Config::WriteSetting(QStringLiteral("ClientLocation"), QStringLiteral("WOTLK"), client);
    const QString runs = work.filePath(QStringLiteral("client/runs.txt"));
    MainWindow window;
    window.show();

    clickPlay(window); // nothing chosen yet
    window.SelectLegion();
    clickPlay(window); // no LEGION executable stored
    QCOMPARE(runningCopies(client), 0);

    window.SelectWotlk();
    clickPlay(window);
    clickPlay(window);
    // Both run in the launcher's own working directory.
    const QString launcherDir = QDir(work.path()).canonicalPath();
    QTRY_COMPARE(linesOf(runs), QStringList({launcherDir, launcherDir}));
    QVERIFY(!window.isMinimized());

    QVERIFY(writeFile(work.filePath(QStringLiteral("client/go")), QByteArray()));
}

void TestClientLaunch::minimizeOnPlay_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<bool>("clientExists");
    QTest::addColumn<bool>("chosen");
    QTest::addColumn<bool>("minimized");

    QTest::newRow("yes") << "yes" << true << true << true;
    QTest::newRow("yes, client gone") << "yes" << false << true << true;
    QTest::newRow("yes, nothing chosen") << "yes" << true << false << false;
    QTest::newRow("no") << "no" << true << true << false;
    QTest::newRow("unset") << QString() << true << true << false;
}

void TestClientLaunch::minimizeOnPlay()
{
    QFETCH(QString, option);
    QFETCH(bool, clientExists);
    QFETCH(bool, chosen);
    QFETCH(bool, minimized);

    ScopedWorkDir work;
    const QString client = writeClient(work.path(), "echo ran >> \"$here/runs.txt\"\n");
    QVERIFY(!client.isEmpty());
    if (!clientExists)
        QVERIFY(QFile::remove(client));
    Config::WriteSetting(QStringLiteral("ClientLocation"), QStringLiteral("WOTLK"), client);
    if (!option.isNull())
        Config::WriteSetting(QStringLiteral("Main"), QStringLiteral("MinimizeOnPlay"), option);
    MainWindow window;
    window.show();
    if (chosen)
        window.SelectWotlk();

    clickPlay(window);
    QCOMPARE(window.isMinimized(), minimized);
    if (clientExists && chosen)
        QTRY_COMPARE(linesOf(work.filePath(QStringLiteral("runs.txt"))).size(), 1);
}

void TestClientLaunch::clientOutlivesTheLauncher()
{
    ScopedWorkDir work;
    // Reports that it runs, waits until the test has closed the launcher's window, and
    // reports again.
    const QString client =
        writeClient(work.path(), "echo started >> \"$here/runs.txt\"\n" + WaitForGo +
                                     "echo still running >> \"$here/runs.txt\"\n");
    QVERIFY(!client.isEmpty());
    Config::WriteSetting(QStringLiteral("ClientLocation"), QStringLiteral("WOTLK"), client);
    const QString runs = work.filePath(QStringLiteral("runs.txt"));

    auto *window = new MainWindow;
    window->show();
    window->SelectWotlk();
    clickPlay(*window);
    QTRY_COMPARE(linesOf(runs), QStringList{QStringLiteral("started")});

    delete window;
    QVERIFY(writeFile(work.filePath(QStringLiteral("go")), QByteArray()));
    const QStringList bothReports{QStringLiteral("started"), QStringLiteral("still running")};
    QTRY_COMPARE_WITH_TIMEOUT(linesOf(runs), bothReports, 15000);
}

void TestClientLaunch::backgroundFollowsTheChosenClient()
{
    const QString base = applicationStyleSheet();
    QVERIFY(base.contains(QStringLiteral("LoadProgress")));
    MainWindow window;
    window.setStyleSheet(base);

    window.SelectWotlk();
    QCOMPARE(window.styleSheet(), base + WotlkRule);
    window.SelectLegion();
    QCOMPARE(window.styleSheet(), base + LegionRule);
    window.SelectWotlk();
    QCOMPARE(window.styleSheet(), base + WotlkRule);
}

void TestClientLaunch::windowsClientRunsThroughWine_data()
{
    QTest::addColumn<QString>("clientName");
    QTest::addColumn<bool>("clientExecutable");
    QTest::addColumn<QString>("wineName");        // the stand-in's file name in bin/
    QTest::addColumn<QByteArray>("wineVariable"); // EMBERCREST_WINE; %1 is bin/

    QTest::newRow("wine from PATH") << "Wow.exe" << false << "wine" << QByteArray();
    QTest::newRow("any case, executable bit set") << "WoW.EXE" << true << "wine" << QByteArray();
    QTest::newRow("EMBERCREST_WINE, a path")
        << "Wow.exe" << false << "wine-staging" << QByteArray("%1/wine-staging");
    QTest::newRow("EMBERCREST_WINE, a name on PATH")
        << "Wow.exe" << false << "wine64" << QByteArray("wine64");
}

// Started detached through the stand-in Wine, in the client's folder, with the environment.
void TestClientLaunch::windowsClientRunsThroughWine()
{
    QFETCH(QString, clientName);
    QFETCH(bool, clientExecutable);
    QFETCH(QString, wineName);
    QFETCH(QByteArray, wineVariable);

    ScopedWorkDir work;
    QVERIFY(QDir().mkpath(QStringLiteral("bin")));
    QVERIFY(QDir().mkpath(QStringLiteral("Games/Wrath client")));
    const QString bin = QDir(work.filePath(QStringLiteral("bin"))).canonicalPath();
    QVERIFY(!writeFakeWine(bin, wineName).isEmpty());
    const QString clientDir =
        QDir(work.filePath(QStringLiteral("Games/Wrath client"))).canonicalPath();
    const QString client = clientDir + QLatin1Char('/') + clientName;
    QVERIFY(writeFile(client, "MZ"));
    if (clientExecutable)
        QFile::setPermissions(client, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    Config::WriteSetting(QStringLiteral("ClientLocation"), QStringLiteral("WOTLK"), client);
    Config::WriteSetting(QStringLiteral("Main"), QStringLiteral("MinimizeOnPlay"),
                         QStringLiteral("yes"));
    ScopedWineEnvironment environment(
        bin.toUtf8(),
        wineVariable.isNull() ? QByteArray() : QString::fromUtf8(wineVariable).arg(bin).toUtf8());
    MainWindow window;
    window.show();
    window.SelectWotlk();

    clickPlay(window);
    QTRY_COMPARE(linesOf(bin + QStringLiteral("/wine-runs.txt")),
                 QStringList({clientDir, client, "WINEPREFIX=/tmp/prefix of the player"}));
    QVERIFY(window.isMinimized());
}

void TestClientLaunch::missingWineIsShown_data()
{
    QTest::addColumn<QByteArray>("wineVariable");
    QTest::addColumn<QString>("named");

    QTest::newRow("no wine on PATH") << QByteArray() << "wine";
    QTest::newRow("EMBERCREST_WINE names no program")
        << QByteArray("/opt/wine-9/bin/wine") << "/opt/wine-9/bin/wine";
}

// Nothing starts and the launcher stays up, saying what is missing, in English and in Russian.
void TestClientLaunch::missingWineIsShown()
{
    QFETCH(QByteArray, wineVariable);
    QFETCH(QString, named);

    ScopedWorkDir work;
    QVERIFY(QDir().mkpath(QStringLiteral("bin"))); // holds no wine
    const QString client = work.filePath(QStringLiteral("Wow.exe"));
    QVERIFY(writeFile(client, "MZ"));
    Config::WriteSetting(QStringLiteral("ClientLocation"), QStringLiteral("WOTLK"), client);
    Config::WriteSetting(QStringLiteral("Main"), QStringLiteral("MinimizeOnPlay"),
                         QStringLiteral("yes"));
    ScopedWineEnvironment environment(work.filePath(QStringLiteral("bin")).toUtf8(), wineVariable);
    MainWindow window;
    window.show();
    auto *bar = window.findChild<QProgressBar *>(QStringLiteral("LoadProgress"));
    bar->hide(); // as after "Updates checked!"
    window.SelectWotlk();

    clickPlay(window);
    QCOMPARE(bar->format(), QStringLiteral("Cannot start the game: ") + named +
                                QStringLiteral(" not found (install Wine or set EMBERCREST_WINE)"));
    QVERIFY(bar->isVisible());
    QVERIFY(!window.isMinimized());

    QTranslator translator;
    QVERIFY(translator.load(QStringLiteral(":/locale/locale_ru_RU")));
    QCoreApplication::installTranslator(&translator);
    clickPlay(window);
    const QString russian = bar->format();
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(russian,
             QStringLiteral("Не удалось запустить игру: ") + named +
                 QStringLiteral(" не найден (установите Wine или укажите EMBERCREST_WINE)"));
}

QTEST_MAIN(TestClientLaunch)
#include "tst_clientlaunch.moc"
