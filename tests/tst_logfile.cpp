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
    void oneMessageIsOneEscapedLine_data();
    void oneMessageIsOneEscapedLine();
    void longLineIsCutWithAMarker();
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

void TestLogFile::oneMessageIsOneEscapedLine_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("written");

    // A server-supplied URL must not forge a line of its own.
    QTest::newRow("forged line")
        << "Target - http://127.0.0.1/m.json\n2026-12-08 08:00:00.000 OnGetJSON: manifest "
           "signature verified"
        << QByteArray("Target - http://127.0.0.1/m.json\\n2026-12-08 08:00:00.000 OnGetJSON: "
                      "manifest signature verified");
    QTest::newRow("controls") << "a\rb\x1b[2Jc\td\x7f\x01"
                                 "e"
                              << QByteArray("a\\rb\\x1b[2Jc\\td\\x7f\\x01e");
    QTest::newRow("C1 and separators") << QStringLiteral("a\u0085b\u009bc\u2028d\u2029e \u00e9")
                                       << QByteArray("a\\u0085b\\u009bc\\u2028d\\u2029e \xc3\xa9");
    QTest::newRow("text direction") << QStringLiteral("a\u202eb\u2066c\u200fd\u061c")
                                    << QByteArray("a\\u202eb\\u2066c\\u200fd\\u061c");
}

void TestLogFile::oneMessageIsOneEscapedLine()
{
    QFETCH(QString, message);
    QFETCH(QByteArray, written);
    ScopedWorkDir work;
    MessageCapture earlier;
    LogFile::install(work.filePath(LogFile::FileName));
    qDebug().noquote() << message;
    LogFile::uninstall();

    QCOMPARE(earlier.lines(), QStringList({message})); // as before
    const QByteArray file = readFile(LogFile::FileName);
    QCOMPARE(file.count('\n'), 1);
    QVERIFY2(file.endsWith(QByteArray(" " + written + "\n")), file);
}

// A 3 MB text makes a line of at most 4 KiB that says how much was left out, without cutting a
// character in two, and the next line is whole.
void TestLogFile::longLineIsCutWithAMarker()
{
    ScopedWorkDir work;
    MessageCapture earlier;
    LogFile::install(work.filePath(LogFile::FileName));
    const QString huge = "x" + QString(1024 * 1024, QChar(0x20ac)); // 3 bytes each
    qDebug().noquote() << huge;
    qDebug() << "Saved!";
    LogFile::uninstall();

    const QList<QByteArray> lines = readFile(LogFile::FileName).split('\n');
    QCOMPARE(lines.size(), 3);
    const QByteArray &cut = lines.at(0);
    QVERIFY2(cut.size() + 1 <= 4096, QByteArray::number(cut.size()));
    QVERIFY(cut.size() + 1 > 4096 - 64);             // not cut far short either
    QCOMPARE(QString::fromUtf8(cut).toUtf8(), cut);  // no character cut in two
    const QByteArray marker = "\xe2\x80\xa6 [cut: "; // "… [cut: N bytes]"
    const int at = cut.lastIndexOf(marker);
    QVERIFY2(at > 0 && cut.endsWith(" bytes]"), cut.right(100));
    const int start = cut.indexOf(" x") + 1;
    QVERIFY(start > 0);
    QVERIFY(cut.left(at).endsWith(QString(QChar(0x20ac)).toUtf8()));
    const qint64 leftOut = cut.mid(at + marker.size()).chopped(7).toLongLong();
    QCOMPARE(leftOut, start + huge.toUtf8().size() - at);
    QVERIFY(lines.at(1).endsWith(" Saved!"));
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
