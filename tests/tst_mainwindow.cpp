#include "ui/mainwindow.h"
#include "ui/style.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTranslator>
#include <QtTest>

namespace {

struct Expected
{
    const char *name;
    const char *className;
    QRect geometry;
    const char *text;
};

const Expected kWidgets[] = {
    {"Play", "QPushButton", {20, 660, 130, 40}, "Play"},
    {"Settings_Open", "QPushButton", {170, 660, 130, 40}, "Settings"},
    {"LoadProgress", "QProgressBar", {330, 667, 550, 25}, nullptr},
    {"CopyRight", "QLabel", {910, 660, 251, 41}, nullptr},
    {"TitleBar", "QLabel", {0, 0, 1176, 32}, "Embercrest Launcher 0.0.1.6b Zudevudera"},
    {"WOTLK", "QPushButton", {10, 130, 210, 40}, "World Of Wacraft 3.3.5"},
    {"LEGION", "QPushButton", {10, 170, 210, 40}, "World Of Wacraft 7.3.5"},
    {"TitleBar_Close", "QPushButton", {1145, 0, 32, 32}, "X"},
    {"TitleBar_Minimize", "QPushButton", {1113, 0, 32, 32}, "_"},
    {"Logo", "QLabel", {10, 40, 210, 40}, "EMBERCREST"},
    {"Slogan", "QLabel", {10, 80, 210, 40}, "GAME SERVERS"},
};

QString textOf(QWidget *widget)
{
    if (auto *button = qobject_cast<QPushButton *>(widget))
        return button->text();
    if (auto *label = qobject_cast<QLabel *>(widget))
        return label->text();
    return QString();
}

// A mouse event at a point given in the target's coordinates as they were before any drag:
// the target moves with the window, the mouse on the screen does not.
void sendMouse(QWidget *target, QEvent::Type type, QPoint local, Qt::MouseButton button,
               Qt::MouseButtons held)
{
    static QHash<QWidget *, QPoint> origin;
    if (type == QEvent::MouseButtonPress)
        origin[target] = target->mapToGlobal(QPoint(0, 0));
    const QPoint global = origin.value(target, target->mapToGlobal(QPoint(0, 0))) + local;
    QMouseEvent event(type, target->mapFromGlobal(global), global, button, held, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

// Mean difference per colour channel of two pictures of the same size.
double meanDifference(const QImage &a, const QImage &b)
{
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int row = 0; row < x.height(); ++row) {
        for (int column = 0; column < x.width(); ++column) {
            const QRgb p = x.pixel(column, row);
            const QRgb q = y.pixel(column, row);
            sum +=
                qAbs(qRed(p) - qRed(q)) + qAbs(qGreen(p) - qGreen(q)) + qAbs(qBlue(p) - qBlue(q));
        }
    }
    return sum / (3.0 * x.width() * x.height());
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void formHasEveryWidgetInPlace();
    void childrenAreStackedInRaiseOrder();
    void windowProperties();
    void textsUseTheEmbeddedFonts();
    void textsAreRussianWithTheCatalogue();
    void creditsFitTheLabel_data();
    void creditsFitTheLabel();
    void leftDragOnLabelOrBarMovesWindow_data();
    void leftDragOnLabelOrBarMovesWindow();
    void otherButtonsAndPushButtonsNeverDrag();
    void sameLookAtEveryScale();
};

void TestMainWindow::formHasEveryWidgetInPlace()
{
    MainWindow window;
    for (const Expected &expected : kWidgets) {
        auto *widget = window.findChild<QWidget *>(expected.name, Qt::FindChildrenRecursively);
        QVERIFY2(widget, expected.name);
        QCOMPARE(widget->metaObject()->className(), expected.className);
        QCOMPARE(widget->geometry(), expected.geometry);
        QCOMPARE(widget->parentWidget(), window.centralWidget());
        if (expected.text)
            QCOMPARE(textOf(widget), QString::fromUtf8(expected.text));
    }
    auto *bar = window.findChild<QProgressBar *>("LoadProgress");
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->alignment(), Qt::AlignCenter);
    QVERIFY(window.findChild<QLabel *>("CopyRight")->text().contains('\n'));
    QCOMPARE(window.findChild<QLabel *>("Logo")->font().family(), QString("Gotham Pro Black"));
    QCOMPARE(window.findChild<QLabel *>("Logo")->font().pointSize(), 11);
    QVERIFY(window.findChild<QPushButton *>("Play")->font().italic());
    QCOMPARE(window.findChild<QPushButton *>("WOTLK")->cursor().shape(), Qt::PointingHandCursor);
}

void TestMainWindow::childrenAreStackedInRaiseOrder()
{
    MainWindow window;
    QStringList stack;
    for (QObject *child : window.centralWidget()->children())
        stack << child->objectName();
    // Bottom to top: the close and minimise buttons lie above the title bar they overlap.
    QCOMPARE(stack,
             QStringList({"Play", "Settings_Open", "LoadProgress", "CopyRight", "WOTLK", "LEGION",
                          "Slogan", "TitleBar", "TitleBar_Minimize", "TitleBar_Close", "Logo"}));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.centralWidget()->childAt(1150, 10)->objectName(), QString("TitleBar_Close"));
    QCOMPARE(window.centralWidget()->childAt(1120, 10)->objectName(), QString("TitleBar_Minimize"));
}

void TestMainWindow::windowProperties()
{
    MainWindow window;
    QCOMPARE(window.size(), QSize(1176, 720));
    QCOMPARE(window.objectName(), QString("MainWindow"));
    QCOMPARE(window.windowTitle(), QString("Embercrest Launcher"));
    QCOMPARE(window.windowModality(), Qt::ApplicationModal);
    QVERIFY(window.hasMouseTracking());
    QVERIFY(!window.windowIcon().isNull());
    QVERIFY(window.styleSheet().isEmpty());
    QCOMPARE(window.font().family(), QString("Gotham Pro Light"));
}

// The style sheet and the form name families no system has; each must resolve to a family
// of the embedded font files, not to the system's own fallback.
void TestMainWindow::textsUseTheEmbeddedFonts()
{
    MainWindow window;
    window.setStyleSheet(applicationStyleSheet());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QStringList embedded = registerEmbeddedFonts();
    QVERIFY(!embedded.isEmpty());
    for (const char *name : {"TitleBar", "Logo", "Slogan", "WOTLK", "Play", "CopyRight"}) {
        auto *widget = window.findChild<QWidget *>(QLatin1String(name));
        widget->ensurePolished();
        const QString family = QFontInfo(widget->font()).family();
        const bool isEmbedded = std::any_of(embedded.cbegin(), embedded.cend(),
                                            [&](const QString &e) { return family.startsWith(e); });
        QVERIFY2(isEmbedded, qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(name), family)));
    }
}

void TestMainWindow::textsAreRussianWithTheCatalogue()
{
    QTranslator translator;
    QVERIFY(translator.load(":/locale/locale_ru_RU"));
    QCoreApplication::installTranslator(&translator);
    MainWindow window;
    QCoreApplication::removeTranslator(&translator);

    QCOMPARE(window.findChild<QPushButton *>("Play")->text(), QString("Играть"));
    QCOMPARE(window.findChild<QPushButton *>("Settings_Open")->text(), QString("Настройки"));
    QCOMPARE(window.findChild<QLabel *>("Slogan")->text(), QString("Комплекс серверов"));
    QVERIFY(window.findChild<QLabel *>("CopyRight")->text().startsWith("Разработано"));
    QCOMPARE(window.findChild<QLabel *>("TitleBar")->text(),
             QString("Embercrest Launcher 0.0.1.6b Zudevudera"));
    QCOMPARE(window.findChild<QPushButton *>("WOTLK")->text(), QString("World Of Wacraft 3.3.5"));
    QCOMPARE(window.findChild<QLabel *>("Logo")->text(), QString("EMBERCREST"));
    QCOMPARE(window.findChild<QPushButton *>("TitleBar_Close")->text(), QString("X"));
    QCOMPARE(window.windowTitle(), QString("Embercrest Launcher"));
}

void TestMainWindow::creditsFitTheLabel_data()
{
    QTest::addColumn<QString>("catalogue");
    QTest::newRow("English") << QString();
    QTest::newRow("Russian") << ":/locale/locale_ru_RU";
}

// Every line of the credits, in the font the style sheet gives the label, fits its box.
void TestMainWindow::creditsFitTheLabel()
{
    QFETCH(QString, catalogue);
    QTranslator translator;
    if (!catalogue.isEmpty()) {
        QVERIFY(translator.load(catalogue));
        QCoreApplication::installTranslator(&translator);
    }
    MainWindow window;
    QCoreApplication::removeTranslator(&translator);
    window.setStyleSheet(applicationStyleSheet());
    auto *label = window.findChild<QLabel *>("CopyRight");
    label->ensurePolished();

    const QFontMetrics metrics(label->font());
    QCOMPARE(label->font().pixelSize(), 14);
    const QStringList lines = label->text().split('\n');
    QCOMPARE(lines.size(), 2);
    if (!catalogue.isEmpty())
        QVERIFY(lines.first().startsWith("Разработано"));
    const QRect box = label->contentsRect();
    for (const QString &line : lines)
        QVERIFY2(metrics.horizontalAdvance(line) <= box.width(), qPrintable(line));
    QVERIFY(metrics.lineSpacing() * lines.size() <= box.height());
}

void TestMainWindow::leftDragOnLabelOrBarMovesWindow_data()
{
    QTest::addColumn<QString>("grip");
    for (const char *name : {"TitleBar", "Logo", "Slogan", "CopyRight", "LoadProgress"})
        QTest::newRow(name) << QString(name);
}

void TestMainWindow::leftDragOnLabelOrBarMovesWindow()
{
    QFETCH(QString, grip);
    MainWindow window;
    window.setWindowFlags(Qt::FramelessWindowHint);
    window.move(100, 100);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *widget = window.findChild<QWidget *>(grip);
    const QPoint start = window.pos();
    const QPoint press(5, 5);

    sendMouse(widget, QEvent::MouseButtonPress, press, Qt::LeftButton, Qt::LeftButton);
    sendMouse(widget, QEvent::MouseMove, press + QPoint(40, 25), Qt::NoButton, Qt::LeftButton);
    sendMouse(widget, QEvent::MouseMove, press + QPoint(120, 70), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(window.pos(), start + QPoint(120, 70)); // the press point stays under the mouse

    // A right or middle click during the drag does not end it: the left button is still held.
    // Each press happens where the mouse is, at the press point of the moved window.
    for (Qt::MouseButton other : {Qt::RightButton, Qt::MiddleButton}) {
        const QPoint from = window.pos();
        sendMouse(widget, QEvent::MouseButtonPress, press, other, Qt::LeftButton | other);
        sendMouse(widget, QEvent::MouseMove, press + QPoint(10, 5), Qt::NoButton,
                  Qt::LeftButton | other);
        QCOMPARE(window.pos(), from + QPoint(10, 5));
        sendMouse(widget, QEvent::MouseButtonRelease, press + QPoint(10, 5), other, Qt::LeftButton);
        sendMouse(widget, QEvent::MouseMove, press + QPoint(30, 15), Qt::NoButton, Qt::LeftButton);
        QCOMPARE(window.pos(), from + QPoint(30, 15));
    }
    sendMouse(widget, QEvent::MouseButtonRelease, press + QPoint(30, 15), Qt::LeftButton,
              Qt::NoButton);

    // Hovering afterwards, with no button held, leaves the window where it is.
    const QPoint settled = window.pos();
    sendMouse(widget, QEvent::MouseMove, press + QPoint(300, 300), Qt::NoButton, Qt::NoButton);
    QCOMPARE(window.pos(), settled);
}

void TestMainWindow::otherButtonsAndPushButtonsNeverDrag()
{
    MainWindow window;
    window.setWindowFlags(Qt::FramelessWindowHint);
    window.move(100, 100);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QPoint start = window.pos();
    auto *title = window.findChild<QWidget *>("TitleBar");

    for (Qt::MouseButton button : {Qt::RightButton, Qt::MiddleButton}) {
        sendMouse(title, QEvent::MouseButtonPress, {5, 5}, button, button);
        sendMouse(title, QEvent::MouseMove, {90, 60}, Qt::NoButton, button);
        sendMouse(title, QEvent::MouseButtonRelease, {90, 60}, button, Qt::NoButton);
        QCOMPARE(window.pos(), start);
    }

    // An earlier drag of the window must not be resumed by a drag that begins on a button,
    // even when the mouse leaves the button while it is held.
    sendMouse(title, QEvent::MouseButtonPress, {5, 5}, Qt::LeftButton, Qt::LeftButton);
    sendMouse(title, QEvent::MouseButtonRelease, {5, 5}, Qt::LeftButton, Qt::NoButton);
    for (const char *name : {"Play", "WOTLK", "TitleBar_Minimize"}) {
        auto *button = window.findChild<QPushButton *>(name);
        sendMouse(button, QEvent::MouseButtonPress, {3, 3}, Qt::LeftButton, Qt::LeftButton);
        sendMouse(button, QEvent::MouseMove, {8, 8}, Qt::NoButton, Qt::LeftButton);
        sendMouse(button, QEvent::MouseMove, {400, 300}, Qt::NoButton, Qt::LeftButton);
        sendMouse(button, QEvent::MouseMove, {420, 310}, Qt::NoButton, Qt::LeftButton);
        sendMouse(button, QEvent::MouseButtonRelease, {400, 300}, Qt::LeftButton, Qt::NoButton);
        QCOMPARE(window.pos(), start);
    }
}

// Run once for every scale by ctest (QT_SCALE_FACTOR 1, 1.5, 2): the window keeps its logical
// size and fonts, its pixels follow the scale, and the background is drawn from the picture
// made for it (the @2x one above a scale of 1), not an enlarged small one.
void TestMainWindow::sameLookAtEveryScale()
{
    bool ok = false;
    qreal scale = qEnvironmentVariable("QT_SCALE_FACTOR").toDouble(&ok);
    if (!ok)
        scale = 1;
    MainWindow window;
    window.setStyleSheet(applicationStyleSheet());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.size(), QSize(1176, 720));
    QCOMPARE(QFontInfo(window.findChild<QLabel *>("Logo")->font()).pixelSize(), 18);
    QCOMPARE(QFontInfo(window.findChild<QLabel *>("CopyRight")->font()).pixelSize(), 14);

    const QPixmap grab = window.grab();
    QCOMPARE(grab.devicePixelRatio(), scale);
    QCOMPARE(grab.size(), QSize(qRound(1176 * scale), qRound(720 * scale)));

    // A patch of starry sky that no widget covers; "top center" puts the 1920-pixel-wide
    // picture 372 pixels to the left of the window.
    const QRect sky(400, 250, 200, 150);
    const QRect device(QPoint(qRound(sky.x() * scale), qRound(sky.y() * scale)),
                       QSize(qRound(sky.width() * scale), qRound(sky.height() * scale)));
    const QImage shown = grab.toImage().copy(device);
    const QImage small(QStringLiteral(":/media/main.bg.jpg"));
    const QImage fromSmall =
        small.copy(sky.translated(372, 0))
            .scaled(device.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (scale == 1) {
        QCOMPARE(meanDifference(shown, fromSmall), 0.0);
        return;
    }
    const QImage large(QStringLiteral(":/media/main.bg@2x.jpg"));
    QCOMPARE(large.size(), small.size() * 2);
    const QRect inLarge(sky.x() * 2 + 744, sky.y() * 2, sky.width() * 2, sky.height() * 2);
    const QImage fromLarge =
        large.copy(inLarge).scaled(device.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const double sharp = meanDifference(shown, fromLarge);
    const double enlarged = meanDifference(shown, fromSmall);
    QVERIFY2(
        sharp < enlarged / 2,
        qPrintable(QStringLiteral("%1 against %2 for the enlarged one").arg(sharp).arg(enlarged)));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
