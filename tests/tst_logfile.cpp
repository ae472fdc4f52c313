#include "app/logfile.h"
#include "testutil.h"

#include <QFile>
#include <QtTest>

class TestLogFile : public QObject
{
    Q_OBJECT

private slots:
    void linesGoToTheFileAndWhereTheyWentBefore();
    void sizeIsBoundedAndThePreviousLogKept();
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

QTEST_MAIN(TestLogFile)
#include "tst_logfile.moc"
