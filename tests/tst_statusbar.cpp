#include "config/delays.h"
#include "ui/mainwindow.h"
#include "ui/style.h"

#include <QProgressBar>
#include <QTranslator>
#include <QtTest>

#include <memory>

namespace {

const QString Startup = QStringLiteral("Checking updates...");
const int EarlierValue = 37;

// The slots that set a state, as the player sees them. No text: the bar keeps the one it had.
struct State
{
    const char *slot;
    const char *text;
    const char *russian;
    bool shows;
    bool hides;
    bool hidesLater;
};
const State States[] = {
    {"BarChange_Format", "Updates checked!", "У вас актуальная версия.", false, false, true},
    {"BarChange_HaveUpd", "Preparing to update...", "Подготовка к обновлению...", true, false,
     false},
    {"BarChange_CNF", "Client not found!", "Клиент не найден!", false, false, false},
    {"BarChange_DwdFd", "Download finished!", "Загрузка звершена!", false, false, true},
    {"BarChange_Hide", nullptr, nullptr, false, true, false},
    {"BarChange_Show", nullptr, nullptr, true, false, false},
    {"BarChange_DwdFailed", "Download failed!", "Ошибка загрузки!", true, false, false},
    {"BarChange_CheckFailed", "Update server unavailable", "Сервер обновлений недоступен", true,
     false, false},
    {"BarChange_UpdateRefused", "Update refused: please update the launcher",
     "Обновление отклонено: обновите лаунчер", true, false, false},
};

// Runs the event loop until a timer started now with the bar's hide delay has fired. Timers of
// equal length fire in the order they were started, so every hide scheduled before this call
// has had its turn by then.
void passHideDelay()
{
    QEventLoop loop;
    QTimer::singleShot(Delays::statusHide(), &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

class TestStatusBar : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void statesOnShownAndHiddenBar_data();
    void statesOnShownAndHiddenBar();
    void downloadText_data();
    void downloadText();
    void laterShowOutlivesEarlierHide_data();
    void laterShowOutlivesEarlierHide();
    void twoHidesTheFirstOneWins();
    void russianTexts_data();
    void russianTexts();
    void textsFitTheBar_data();
    void textsFitTheBar();

private:
    void invoke(const QByteArray &slot);

    std::unique_ptr<MainWindow> window;
    QProgressBar *bar = nullptr;
};

void TestStatusBar::initTestCase()
{
    qputenv("EMBERCREST_DELAY_MS", "60");
}

void TestStatusBar::init()
{
    window = std::make_unique<MainWindow>();
    window->show();
    bar = window->findChild<QProgressBar *>(QStringLiteral("LoadProgress"));
    QVERIFY(bar);
    bar->setFormat(Startup);
    bar->setValue(EarlierValue);
}

void TestStatusBar::cleanup()
{
    window.reset();
}

void TestStatusBar::invoke(const QByteArray &slot)
{
    QVERIFY2(QMetaObject::invokeMethod(window.get(), slot.constData()), slot.constData());
}

void TestStatusBar::statesOnShownAndHiddenBar_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("visibleAfter");
    QTest::addColumn<bool>("hidesLater");

    for (const State &state : States) {
        const QString text = state.text ? QString::fromUtf8(state.text) : Startup;
        for (const bool shown : {true, false}) {
            const bool visibleAfter = state.shows || (shown && !state.hides);
            QTest::addRow("%s on a %s bar", state.slot, shown ? "shown" : "hidden")
                << QByteArray(state.slot) << shown << text << visibleAfter << state.hidesLater;
        }
    }
}

void TestStatusBar::statesOnShownAndHiddenBar()
{
    QFETCH(QByteArray, slot);
    QFETCH(bool, shown);
    QFETCH(QString, text);
    QFETCH(bool, visibleAfter);
    QFETCH(bool, hidesLater);

    bar->setVisible(shown);
    // Started first, with the same length: it fires right before any hide the slot schedules.
    QTimer delayEnds;
    delayEnds.setSingleShot(true);
    delayEnds.setTimerType(Qt::PreciseTimer);
    bool visibleAtTheEnd = false;
    QObject::connect(&delayEnds, &QTimer::timeout, [&] { visibleAtTheEnd = bar->isVisible(); });
    QSignalSpy delayEnded(&delayEnds, &QTimer::timeout);
    delayEnds.start(Delays::statusHide());
    invoke(slot);
    QCOMPARE(bar->format(), text);
    QCOMPARE(bar->value(), EarlierValue);
    QCOMPARE(bar->isVisible(), visibleAfter);
    // A final state stays readable for the whole delay.
    QVERIFY(delayEnded.wait());
    QCOMPARE(visibleAtTheEnd, visibleAfter);

    passHideDelay();
    QCOMPARE(bar->isVisible(), visibleAfter && !hidesLater);
    QCOMPARE(bar->format(), text);
}

void TestStatusBar::downloadText_data()
{
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");

    const QString file = QStringLiteral("/games/wow/Data/ruRU/patch-ruRU-4.MPQ");
    QTest::newRow("half") << qint64(512) << qint64(1024) << file << file + " 50%" << 50;
    QTest::newRow("truncated") << qint64(1023) << qint64(1024) << file << file + " 99%" << 99;
    QTest::newRow("complete") << qint64(1024) << qint64(1024) << file << file + " 100%" << 100;
    QTest::newRow("nothing yet") << qint64(0) << qint64(1024) << file << file + " 0%" << 0;
    // Over 4 GiB: both the product and the total are beyond 32 bits.
    QTest::newRow("large file") << Q_INT64_C(4294967295) << Q_INT64_C(4294967296) << file
                                << file + " 99%" << 99;
    // Out of the bar's range: the bar keeps its value, the text tells the truth.
    QTest::newRow("more than announced")
        << qint64(2048) << qint64(1024) << file << file + " 200%" << EarlierValue;
    // The network layer says -1 until the size is known; an empty file announces 0.
    QTest::newRow("size unknown") << qint64(300) << qint64(-1) << file << file + " 300 B"
                                  << EarlierValue;
    QTest::newRow("size zero") << qint64(0) << qint64(0) << file << file + " 0 B" << EarlierValue;
    const QString percents = QStringLiteral("/data/100%p %v%m%%.MPQ");
    QTest::newRow("percent signs in the name")
        << qint64(512) << qint64(1024) << percents << percents + " 50%" << 50;
    QTest::newRow("percent signs, size unknown")
        << qint64(7) << qint64(-1) << percents << percents + " 7 B" << EarlierValue;
}

void TestStatusBar::downloadText()
{
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(int, value);

    for (const bool shown : {true, false}) {
        bar->setValue(EarlierValue);
        bar->setVisible(shown);
        window->BarChange_Value(received, total, name);
        // The bar paints text(). Both it and the format are the download text as it stands,
        // "%p" and all.
        QCOMPARE(bar->format(), text);
        QCOMPARE(bar->text(), text);
        QCOMPARE(bar->value(), value);
        QCOMPARE(bar->isVisible(), shown);
    }
}

void TestStatusBar::laterShowOutlivesEarlierHide_data()
{
    QTest::addColumn<QByteArray>("earlier");
    QTest::addColumn<QByteArray>("later");

    for (const char *earlier : {"BarChange_Format", "BarChange_DwdFd"}) {
        for (const char *later : {"BarChange_HaveUpd", "BarChange_Show", "BarChange_DwdFailed"})
            QTest::addRow("%s then %s", earlier, later) << QByteArray(earlier) << QByteArray(later);
    }
    // "Updates checked!" on a re-pick of the same client in the middle of a download: the
    // download's next report keeps the bar.
    QTest::newRow("BarChange_Format then a progress report")
        << QByteArray("BarChange_Format") << QByteArray();
}

void TestStatusBar::laterShowOutlivesEarlierHide()
{
    QFETCH(QByteArray, earlier);
    QFETCH(QByteArray, later);

    invoke(earlier);
    if (!later.isEmpty())
        invoke(later);
    window->BarChange_Value(512, 1024, QStringLiteral("a.MPQ"));
    passHideDelay();
    QVERIFY(bar->isVisible());
    QCOMPARE(bar->format(), QStringLiteral("a.MPQ 50%"));

    // A hide scheduled after the bar came back still works.
    window->BarChange_DwdFd();
    QVERIFY(bar->isVisible());
    QTRY_VERIFY(!bar->isVisible());
}

// A second final state within the delay does not postpone the first one's hide.
void TestStatusBar::twoHidesTheFirstOneWins()
{
    const int delay = Delays::statusHide();
    window->BarChange_Format();
    // Fires right after the first hide: same length, started after it.
    QTimer firstDeadline;
    firstDeadline.setSingleShot(true);
    firstDeadline.setTimerType(Qt::PreciseTimer);
    QSignalSpy deadlineReached(&firstDeadline, &QTimer::timeout);
    firstDeadline.start(delay);
    QTimer::singleShot(delay / 2, window.get(), &MainWindow::BarChange_DwdFd);

    QVERIFY(deadlineReached.wait());
    QVERIFY(!bar->isVisible());
    QCOMPARE(bar->format(), QStringLiteral("Download finished!"));

    // The second hide finds the bar hidden and leaves it so.
    passHideDelay();
    QVERIFY(!bar->isVisible());
}

void TestStatusBar::russianTexts_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QString>("text");

    for (const State &state : States) {
        if (state.russian)
            QTest::newRow(state.slot) << QByteArray(state.slot) << QString::fromUtf8(state.russian);
    }
}

void TestStatusBar::russianTexts()
{
    QFETCH(QByteArray, slot);
    QFETCH(QString, text);

    QTranslator translator;
    QVERIFY(translator.load(QStringLiteral(":/locale/locale_ru_RU")));
    QCoreApplication::installTranslator(&translator);
    invoke(slot);
    const QString format = bar->format();
    window->BarChange_Value(512, 1024, QStringLiteral("a.MPQ"));
    const QString download = bar->format();
    QCoreApplication::removeTranslator(&translator);

    QCOMPARE(format, text);
    QCOMPARE(download, QStringLiteral("a.MPQ 50%"));
}

void TestStatusBar::textsFitTheBar_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QString>("catalogue");

    for (const State &state : States) {
        if (!state.text)
            continue;
        QTest::addRow("%s", state.slot) << QByteArray(state.slot) << QString();
        QTest::addRow("%s, Russian", state.slot)
            << QByteArray(state.slot) << QStringLiteral(":/locale/locale_ru_RU");
    }
}

// Each state's text, in the font the style sheet gives the bar, fits the bar.
void TestStatusBar::textsFitTheBar()
{
    QFETCH(QByteArray, slot);
    QFETCH(QString, catalogue);

    QTranslator translator;
    if (!catalogue.isEmpty()) {
        QVERIFY(translator.load(catalogue));
        QCoreApplication::installTranslator(&translator);
    }
    window->setStyleSheet(applicationStyleSheet());
    invoke(slot);
    QCoreApplication::removeTranslator(&translator);
    bar->ensurePolished();
    const QString text = bar->text();
    QVERIFY2(QFontMetrics(bar->font()).horizontalAdvance(text) <= bar->contentsRect().width(),
             qPrintable(text));
}

QTEST_MAIN(TestStatusBar)
#include "tst_statusbar.moc"
