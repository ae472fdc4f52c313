#include "config/config.h"
#include "testutil.h"
#include "ui/mainwindow.h"
#include "ui/style.h"

#include <QDir>
#include <QFile>
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

QTEST_MAIN(TestClientLaunch)
#include "tst_clientlaunch.moc"
