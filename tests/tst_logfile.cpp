#include "app/logfile.h"
#include "testutil.h"

#include <QFile>
#include <QFileInfo>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>

// Takes away the right to rename or remove the files in a folder while it lives. Root, whom
// permissions do not stop, acts as an ordinary user meanwhile.
struct ReadOnlyFolder
{
    explicit ReadOnlyFolder(const QString &path) : path(QFile::encodeName(path))
    {
        ok = chmod(this->path.constData(), 0555) == 0 && (!root || seteuid(65534) == 0);
    }
    ~ReadOnlyFolder()
    {
        if (root)
            (void)seteuid(0);
        (void)chmod(path.constData(), 0700);
    }
    ReadOnlyFolder(const ReadOnlyFolder &) = delete;
    ReadOnlyFolder &operator=(const ReadOnlyFolder &) = delete;

    const QByteArray path;
    const bool root = geteuid() == 0;
    bool ok = false;
};
#endif

class TestLogFile : public QObject
{
    Q_OBJECT

private slots:
    void linesGoToTheFileAndWhereTheyWentBefore();
    void sizeIsBoundedAndThePreviousLogKept();
    void failedRotationStopsTheGrowth();
};

void TestLogFile::linesGoToTheFileAndWhereTheyWentBefore()
{
    ScopedWorkDir work;
    MessageCapture earlier; // stands for the debugger output or standard error
    LogFile::install(work.filePath(LogFile::FileName));
    QVERIFY(!QFile::exists(LogFile::FileName)); // nothing until there is something to say
    qDebug() << "Saved!";
    qDebug().noquote() << "Error: "
                       << "Ошибка";
    LogFile::uninstall();

    QCOMPARE(earlier.lines(), QStringList({"Saved!", "Error:  Ошибка"}));
    const QList<QByteArray> lines = readFile(LogFile::FileName).split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines.at(0).endsWith(" Saved!"), lines.at(0));
    QVERIFY2(lines.at(1).endsWith(QStringLiteral(" Error:  Ошибка").toUtf8()), lines.at(1));
    QVERIFY(lines.at(2).isEmpty());
}

void TestLogFile::sizeIsBoundedAndThePreviousLogKept()
{
    ScopedWorkDir work;
    const QString old = QString(LogFile::FileName) + ".old";
    QVERIFY(writeFile(old, "from two runs ago\n"));
    QVERIFY(writeFile(LogFile::FileName, QByteArray(300, 'e') + '\n')); // the last run's, full
    MessageCapture earlier;
    LogFile::install(work.filePath(LogFile::FileName), 300);
    for (int i = 0; i < 40; ++i)
        qDebug("line %d", i);
    LogFile::uninstall();

    const QByteArray current = readFile(LogFile::FileName);
    const QByteArray previous = readFile(old);
    QVERIFY(current.size() <= 300);
    QVERIFY(previous.size() <= 300);
    QVERIFY(current.endsWith(" line 39\n"));
    QVERIFY(previous.contains(" line "));
    QVERIFY(!previous.contains("two runs ago"));
    QVERIFY(!previous.contains("eee"));
    // Together they hold the latest lines, one after another.
    const QByteArray both = previous + current;
    const int first = both.indexOf(" line ");
    const int firstNumber = both.mid(first + 6, both.indexOf('\n', first) - first - 6).toInt();
    for (int i = firstNumber; i < 40; ++i)
        QVERIFY(both.contains(QByteArray(QByteArray(" line ") + QByteArray::number(i) + '\n')));
}

// When the full log can be neither moved aside nor removed (another program holds it on
// Windows, the folder is not writable), lines are dropped rather than appended without end, and
// the rotation is tried again with the next line.
void TestLogFile::failedRotationStopsTheGrowth()
{
    ScopedWorkDir work;
    const qint64 limit = 4096;
    const QByteArray earlierRun = QByteArray(limit, 'e');
    QVERIFY(writeFile(LogFile::FileName, earlierRun));
    MessageCapture earlier;
    LogFile::install(work.filePath(LogFile::FileName), limit);
    {
#ifdef Q_OS_WIN
        QFile holder(LogFile::FileName); // opened without leave to rename or delete it
        QVERIFY(holder.open(QIODevice::ReadOnly));
#elif defined(Q_OS_UNIX)
        QCOMPARE(chmod(LogFile::FileName, 0666), 0);
        ReadOnlyFolder readOnly(work.path());
        QVERIFY(readOnly.ok);
#else
        QSKIP("No way here to make a rename fail");
#endif
        for (int i = 0; i < 1000; ++i)
            qDebug("Unchanged, not fetched: Data/ruRU/patch-ruRU-%d.MPQ", i);
    }
    const qint64 size = QFileInfo(LogFile::FileName).size();
    QVERIFY2(size <= 2 * limit, QByteArray::number(size));
    QVERIFY(readFile(LogFile::FileName).startsWith(earlierRun));

    qDebug() << "Saved!"; // the rotation works again
    LogFile::uninstall();
    QCOMPARE(readFile(QString(LogFile::FileName) + ".old"), earlierRun);
    QVERIFY(readFile(LogFile::FileName).endsWith(" Saved!\n"));
    QCOMPARE(earlier.lines().size(), 1001); // standard error had every line
}

QTEST_MAIN(TestLogFile)
#include "tst_logfile.moc"
