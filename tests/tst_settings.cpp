#include "app/wiring.h"
#include "config/config.h"
#include "testhttpserver.h"
#include "testutil.h"
#include "ui/filepicker.h"
#include "ui/mainwindow.h"
#include "ui/style.h"
#include "updater/appconfig.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTranslator>
#include <QtTest>

namespace {

const QString kDefaultBackground = "QMainWindow { background: url(':/media/main.bg.jpg') "
                                   "no-repeat; background-position: top center; }";

struct Child
{
    const char *className;
    const char *name;
    QRect geometry;
    const char *text;
    const char *russian;
};

// In creation order; the texts are checked where the child has one.
const Child kChildren[] = {
    {"QPushButton", "close", {992, 0, 32, 32}, "×", "×"},
    {"QLabel", "name_settings", {450, 32, 256, 32}, "Settings", "Настройки"},
    {"QLabel",
     "settings_slogan",
     {30, 90, 512, 32},
     "For normal launcher, specify the path to the game's clients:",
     "Для нармальной работы лаунчера, укажите путь к клиентам игры:"},
    {"QPushButton", "", {30, 410, 176, 40}, "Save", "Сохранить"},
    {"QLabel",
     "",
     {60, 125, 512, 40},
     "World Of Warcraft Wrath of the Lich King:",
     "World Of Warcraft Wrath of the Lich King:"},
    {"QLineEdit", "wotlkpath", {60, 160, 236, 40}, nullptr, nullptr},
    {"QPushButton", "", {310, 160, 176, 40}, "Select...", "Выбрать..."},
    {"QLabel", "", {60, 210, 236, 40}, "World of Warcraft Legion:", "World of Warcraft Legion:"},
    {"QLineEdit", "legionpath", {60, 245, 236, 40}, nullptr, nullptr},
    {"QPushButton", "", {310, 245, 176, 40}, "Select...", "Выбрать..."},
    {"QCheckBox", "MinimizeOnPlay", {30, 320, 20, 20}, "", ""},
    {"QLabel", "", {60, 320, 256, 20}, "Minimize on start game", "Сворачивать при запуске"},
};

QString textOf(QObject *widget)
{
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        return button->text();
    if (auto *label = qobject_cast<QLabel *>(widget))
        return label->text();
    return QString();
}

// Every key of config.conf with its value, to see exactly what a step changed.
QMap<QString, QString> configContents()
{
    QSettings settings(Config::FileName, QSettings::IniFormat);
    QMap<QString, QString> contents;
    for (const QString &key : settings.allKeys())
        contents.insert(key, settings.value(key).toString());
    return contents;
}

QString setting(const QString &group, const QString &key)
{
    return Config::ReadSetting(group, key);
}

QString localeFlags()
{
    QString flags;
    for (const QString &code : Config::localeCodes())
        flags += setting("WClientLocale", code);
    return flags;
}

// A client folder with an executable and the given Data subfolders.
QString makeClient(const QString &folder, const QString &exeName, const QStringList &locales)
{
    QDir().mkpath(folder);
    for (const QString &code : locales)
        QDir().mkpath(folder + "/Data/" + code);
    const QString exe = QDir(folder).absoluteFilePath(exeName);
    writeFile(exe, "MZ");
    return exe;
}

// A window whose settings page is open, in a working directory of its own.
struct Fixture
{
    ScopedWorkDir dir;
    MainWindow window;

    QWidget *page() const { return window.findChild<QWidget *>("setting_window"); }
    QLineEdit *field(const char *name) const { return window.findChild<QLineEdit *>(name); }
    QCheckBox *box() const { return window.findChild<QCheckBox *>("MinimizeOnPlay"); }
    QProgressBar *bar() const { return window.findChild<QProgressBar *>("LoadProgress"); }
    QPushButton *button(int index) const
    {
        return qobject_cast<QPushButton *>(page()->children().at(index));
    }
    QPushButton *selectWotlk() const { return button(6); }
    QPushButton *selectLegion() const { return button(9); }
    void open()
    {
        window.setStyleSheet(applicationStyleSheet());
        window.show();
        window.OpenSettings();
    }
    void pick(QPushButton *select, const QString &answer)
    {
        FilePicker::setNextFileName(answer);
        select->click();
    }
};

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { FilePicker::clearNextFileNames(); }

    void pageIsBuiltAsDescribed();
    void openingTwiceBuildsOnePageAndKeepsItsState();
    void fieldsAndBoxShowTheStoredSettings_data();
    void fieldsAndBoxShowTheStoredSettings();
    void dialogAsksForAnExecutable();
    void qtsOwnDialogStaysReadable();
    void samePathShowsNoticeAndWritesNothing();
    void differentWotlkExeProbesResetsAndSavesOnce_data();
    void differentWotlkExeProbesResetsAndSavesOnce();
    void unusualChoicesAreStoredAsGiven_data();
    void unusualChoicesAreStoredAsGiven();
    void cancelledDialogChangesNothing();
    void selectionWithoutThePageStillStores();
    void legionPickWritesOnlyItsPath();
    void boxWritesAtOnceAndClosingLosesNothing();
    void textsAreRussianWithTheCatalogue();
    void openingRestoresTheDefaultBackground();
    void firstRunOpensEmptyPageAndWritesDefaults_data();
    void firstRunOpensEmptyPageAndWritesDefaults();
    void firstRunWaitsForAWotlkExecutable();
    void normalStartShowsCheckingUpdates_data();
    void normalStartShowsCheckingUpdates();
    void launcherIsWiredAsMainWiresIt();
};

void TestSettings::pageIsBuiltAsDescribed()
{
    Fixture f;
    f.open();
    QWidget *page = f.page();
    QVERIFY(page);
    QCOMPARE(page->metaObject()->className(), "QWidget");
    QCOMPARE(page->parentWidget(), &f.window);
    QCOMPARE(page->geometry(), QRect(76, 120, 1024, 480));
    QVERIFY(page->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(!page->isWindow());
    // Its own icon, not the window's that windowIcon() would fall back to.
    QVERIFY(page->testAttribute(Qt::WA_SetWindowIcon));
    QVERIFY(!page->windowIcon().isNull());
    QVERIFY(page->isVisible());

    const QObjectList children = page->children();
    QCOMPARE(children.size(), int(std::size(kChildren)));
    for (int i = 0; i < children.size(); ++i) {
        const Child &expected = kChildren[i];
        auto *widget = qobject_cast<QWidget *>(children.at(i));
        QVERIFY2(widget, expected.name);
        QCOMPARE(widget->metaObject()->className(), expected.className);
        QCOMPARE(widget->objectName(), QString(expected.name));
        QCOMPARE(widget->geometry(), expected.geometry);
        if (expected.text)
            QCOMPARE(textOf(widget), QString::fromUtf8(expected.text));
    }
    QVERIFY(f.field("wotlkpath")->isReadOnly());
    QVERIFY(f.field("legionpath")->isReadOnly());

    // The page lies over the right-hand part of the client buttons.
    QCOMPARE(f.window.childAt(40, 150), f.window.findChild<QWidget *>("WOTLK"));
    QCOMPARE(f.window.childAt(150, 150), page);
}

void TestSettings::openingTwiceBuildsOnePageAndKeepsItsState()
{
    Fixture f;
    Config::WriteSetting("ClientLocation", "LEGION", "/games/legion/Wow.exe");
    f.open();
    QWidget *page = f.page();
    QWidget *field = f.field("legionpath");

    f.button(0)->click(); // "×"
    QVERIFY(!page->isVisible());
    // Showing the page again does not read the file again.
    Config::WriteSetting("ClientLocation", "LEGION", "/elsewhere/Wow.exe");
    Config::WriteSetting("Main", "MinimizeOnPlay", "yes");
    f.window.OpenSettings();

    QCOMPARE(f.window.findChildren<QWidget *>("setting_window").size(), 1);
    QCOMPARE(f.page(), page);
    QCOMPARE(f.field("legionpath"), field);
    QVERIFY(page->isVisible());
    QCOMPARE(f.field("legionpath")->text(), QString("/games/legion/Wow.exe"));
    QVERIFY(!f.box()->isChecked());
    QCOMPARE(page->children().size(), int(std::size(kChildren)));

    f.button(3)->click(); // "Save" only closes the page
    QVERIFY(!page->isVisible());
}

void TestSettings::fieldsAndBoxShowTheStoredSettings_data()
{
    QTest::addColumn<QString>("minimize");
    QTest::addColumn<bool>("checked");
    QTest::newRow("yes") << "yes" << true;
    QTest::newRow("no") << "no" << false;
    QTest::newRow("other case") << "Yes" << false;
    QTest::newRow("absent") << QString() << false;
}

void TestSettings::fieldsAndBoxShowTheStoredSettings()
{
    QFETCH(QString, minimize);
    QFETCH(bool, checked);
    Fixture f;
    Config::CreateDefaultConfig();
    Config::WriteSetting("ClientLocation", "WOTLK", "C:/Games/WoW 3.3.5/Wow.exe");
    Config::WriteSetting("ClientLocation", "LEGION", "D:/Legion/Wow-64.exe");
    if (!minimize.isNull())
        Config::WriteSetting("Main", "MinimizeOnPlay", minimize);
    const QByteArray before = readFile(Config::FileName);

    f.open();
    QCOMPARE(f.field("wotlkpath")->text(), QString("C:/Games/WoW 3.3.5/Wow.exe"));
    QCOMPARE(f.field("legionpath")->text(), QString("D:/Legion/Wow-64.exe"));
    QCOMPARE(f.box()->isChecked(), checked);
    QCOMPARE(readFile(Config::FileName), before); // building the page writes nothing
}

void TestSettings::dialogAsksForAnExecutable()
{
    Fixture f;
    f.open();
    for (QPushButton *select : {f.selectWotlk(), f.selectLegion()}) {
        f.pick(select, QString());
        const FilePicker::Request request = FilePicker::lastRequest();
        QCOMPARE(request.parent.data(), &f.window);
        QCOMPARE(request.caption, QString("Select File"));
        QCOMPARE(request.filter, QString("Exe file (*.exe)"));
#ifdef Q_OS_WIN
        QCOMPARE(request.directory, QString("C://"));
#else
        QCOMPARE(request.directory, QDir::homePath());
#endif
    }
}

// Off Windows the dialog is Qt's own: the window's style sheet (white labels) must not reach it.
void TestSettings::qtsOwnDialogStaysReadable()
{
#ifdef Q_OS_WIN
    QSKIP("Windows shows its native dialog");
#endif
    Fixture f;
    f.open();
    QStringList unreadable;
    int labels = 0;
    QTimer::singleShot(0, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        const auto lightness = [](const QColor &c) { return c.toHsl().lightnessF(); };
        const qreal background = lightness(dialog->palette().color(QPalette::Window));
        for (QLabel *label : dialog->findChildren<QLabel *>()) {
            if (!label->isVisible() || label->text().isEmpty())
                continue;
            ++labels;
            const QColor text = label->palette().color(label->foregroundRole());
            if (qAbs(lightness(text) - background) < 0.4)
                unreadable << label->text();
        }
        dialog->reject();
    });
    FilePicker::getOpenFileName(&f.window, "Select File", QDir::homePath(), "Exe file (*.exe)");
    QVERIFY(labels >= 3); // "Look in:", "File name:", "Files of type:"
    QCOMPARE(unreadable, QStringList());
}

void TestSettings::samePathShowsNoticeAndWritesNothing()
{
    Fixture f;
    Config::CreateDefaultConfig();
    const QString exe = makeClient(f.dir.filePath("client"), "Wow.exe", {"ruRU"});
    Config::WriteSetting("ClientLocation", "WOTLK", exe);
    Config::WriteSetting("ClientVersion", "WOTLK", "3.4");
    const QByteArray before = readFile(Config::FileName);
    f.open();
    f.bar()->hide();
    QSignalSpy saved(&f.window, SIGNAL(SettingsSaved()));

    f.pick(f.selectWotlk(), exe);

    QVERIFY(f.bar()->isVisible());
    QCOMPARE(f.bar()->format(), QString("Updates checked!"));
    QCOMPARE(saved.count(), 0);
    QCOMPARE(readFile(Config::FileName), before);
    QCOMPARE(f.field("wotlkpath")->text(), exe);
    // The notice goes away by itself.
    QTRY_VERIFY(!f.bar()->isVisible());

    // Legion has no notice: the same path is simply stored again.
    Config::WriteSetting("ClientLocation", "LEGION", "/legion/Wow.exe");
    f.bar()->hide();
    f.bar()->setFormat("Checking updates...");
    f.pick(f.selectLegion(), "/legion/Wow.exe");
    f.pick(f.selectLegion(), "/legion/Wow.exe");
    QVERIFY(!f.bar()->isVisible());
    QCOMPARE(f.bar()->format(), QString("Checking updates..."));
    QCOMPARE(saved.count(), 0);
    QCOMPARE(setting("ClientLocation", "LEGION"), QString("/legion/Wow.exe"));
}

void TestSettings::differentWotlkExeProbesResetsAndSavesOnce_data()
{
    QTest::addColumn<bool>("hadClient");
    QTest::newRow("first choice, empty field") << false;
    QTest::newRow("another client") << true;
}

void TestSettings::differentWotlkExeProbesResetsAndSavesOnce()
{
    QFETCH(bool, hadClient);
    Fixture f;
    Config::CreateDefaultConfig();
    if (hadClient) {
        const QString old = makeClient(f.dir.filePath("old"), "Wow.exe", {"deDE", "frFR"});
        Config::ProbeWotlkClient(old);
        Config::WriteSetting("ClientVersion", "WOTLK", "3.4");
        QCOMPARE(localeFlags(), QString("000011"));
    }
    const QString folder = f.dir.filePath("new client");
    const QString exe = makeClient(folder, "WoW.exe", {"ruRU", "enGB"});
    writeFile(folder + "/Data/enUS", "a file, not a locale folder");
    f.open();
    QSignalSpy saved(&f.window, SIGNAL(SettingsSaved()));
    // The path is already stored when the update check starts.
    QString storedAtSignal;
    connect(&f.window, &MainWindow::SettingsSaved,
            [&] { storedAtSignal = setting("ClientLocation", "WOTLK"); });

    f.pick(f.selectWotlk(), exe);

    QCOMPARE(saved.count(), 1);
    QCOMPARE(storedAtSignal, exe);
    QCOMPARE(setting("ClientLocation", "WOTLK"), exe);
    QCOMPARE(setting("ClientDir", "WOTLK"), QFileInfo(exe).absolutePath());
    QCOMPARE(setting("ClientExe", "WOTLK"), QString("WoW.exe"));
    QCOMPARE(localeFlags(), QString("110000"));
    QCOMPARE(setting("ClientVersion", "WOTLK"), QString("0.0"));
    QCOMPARE(f.field("wotlkpath")->text(), exe);
    QCOMPARE(setting("ClientLocation", "LEGION"), QString());

    // The field follows the choice, so picking the same file again is recognised.
    const QByteArray after = readFile(Config::FileName);
    f.pick(f.selectWotlk(), exe);
    QCOMPARE(saved.count(), 1);
    QCOMPARE(readFile(Config::FileName), after);
    QCOMPARE(f.bar()->format(), QString("Updates checked!"));
}

void TestSettings::unusualChoicesAreStoredAsGiven_data()
{
    QTest::addColumn<QString>("relative");
    QTest::addColumn<bool>("exists");
    QTest::newRow("spaces") << "Games/World of Warcraft/Wow Launcher.exe" << true;
    QTest::newRow("quotes") << "Games/\"quoted\" 'client'/Wow.exe" << true;
    QTest::newRow("non-ASCII") << "Игры/Wrath ☠ Клиент/Вов.exe" << true;
    QTest::newRow("INI syntax") << "Games/a=b;c#d [x]/Wow.exe" << true;
    QTest::newRow("not an executable") << "Games/readme.txt" << true;
    QTest::newRow("missing file") << "Games/gone/Wow.exe" << false;
    QTest::newRow("folder") << "Games" << false;
}

void TestSettings::unusualChoicesAreStoredAsGiven()
{
    QFETCH(QString, relative);
    QFETCH(bool, exists);
#ifdef Q_OS_WIN
    if (QTest::currentDataTag() == QLatin1String("quotes"))
        QSKIP("Windows file names cannot hold quotes");
#endif
    Fixture f;
    Config::CreateDefaultConfig();
    // A flag of the client chosen before: the new choice clears it, even where the probe finds
    // no folder to look into.
    Config::WriteSetting("WClientLocale", "frFR", "1");
    const QString path = f.dir.filePath(relative);
    QDir().mkpath(f.dir.filePath("Games"));
    if (exists)
        makeClient(QFileInfo(path).absolutePath(), QFileInfo(path).fileName(), {"esMX"});
    f.open();
    QSignalSpy saved(&f.window, SIGNAL(SettingsSaved()));

    f.pick(f.selectWotlk(), path);
    f.pick(f.selectLegion(), path);

    QCOMPARE(saved.count(), 1);
    QCOMPARE(setting("ClientLocation", "WOTLK"), path);
    QCOMPARE(setting("ClientLocation", "LEGION"), path);
    QCOMPARE(f.field("wotlkpath")->text(), path);
    QCOMPARE(f.field("legionpath")->text(), path);
    QCOMPARE(setting("ClientDir", "WOTLK"), exists ? QFileInfo(path).absolutePath() : QString());
    QCOMPARE(setting("ClientExe", "WOTLK"), exists ? QFileInfo(path).fileName() : QString());
    QCOMPARE(localeFlags(), exists ? QString("000100") : QString("000000"));
    QCOMPARE(configContents().size(), 20);
}

void TestSettings::cancelledDialogChangesNothing()
{
    Fixture f;
    Config::CreateDefaultConfig();
    Config::WriteSetting("ClientLocation", "WOTLK", "/wotlk/Wow.exe");
    Config::WriteSetting("ClientLocation", "LEGION", "/legion/Wow.exe");
    const QByteArray before = readFile(Config::FileName);
    f.open();
    f.bar()->hide();
    QSignalSpy saved(&f.window, SIGNAL(SettingsSaved()));

    f.pick(f.selectWotlk(), QString());
    f.pick(f.selectLegion(), QString());

    QCOMPARE(readFile(Config::FileName), before);
    QCOMPARE(saved.count(), 0);
    QCOMPARE(f.field("wotlkpath")->text(), QString("/wotlk/Wow.exe"));
    QCOMPARE(f.field("legionpath")->text(), QString("/legion/Wow.exe"));
    QVERIFY(!f.bar()->isVisible());
}

void TestSettings::selectionWithoutThePageStillStores()
{
    Fixture f;
    Config::CreateDefaultConfig();
    QSignalSpy saved(&f.window, SIGNAL(SettingsSaved()));
    FilePicker::setNextFileName("/wotlk/Wow.exe");
    FilePicker::setNextFileName("/legion/Wow.exe");
    QVERIFY(f.window.SelectWotlkExe());
    QVERIFY(f.window.SelectLegionExe());
    QCOMPARE(saved.count(), 1);
    QCOMPARE(setting("ClientLocation", "WOTLK"), QString("/wotlk/Wow.exe"));
    QCOMPARE(setting("ClientLocation", "LEGION"), QString("/legion/Wow.exe"));
    QVERIFY(!f.page());
}

void TestSettings::legionPickWritesOnlyItsPath()
{
    Fixture f;
    Config::CreateDefaultConfig();
    const QString exe = makeClient(f.dir.filePath("legion"), "Wow-64.exe", {"ruRU"});
    QMap<QString, QString> expected = configContents();
    f.open();
    QSignalSpy saved(&f.window, SIGNAL(SettingsSaved()));

    f.pick(f.selectLegion(), exe);

    expected["ClientLocation/LEGION"] = exe;
    QCOMPARE(configContents(), expected);
    QCOMPARE(saved.count(), 0);
    QCOMPARE(f.field("legionpath")->text(), exe);
    QCOMPARE(f.field("wotlkpath")->text(), QString());
}

void TestSettings::boxWritesAtOnceAndClosingLosesNothing()
{
    Fixture f;
    Config::CreateDefaultConfig();
    f.open();
    QTest::mouseClick(f.box(), Qt::LeftButton);
    QCOMPARE(setting("Main", "MinimizeOnPlay"), QString("yes"));
    QTest::mouseClick(f.box(), Qt::LeftButton);
    QCOMPARE(setting("Main", "MinimizeOnPlay"), QString("no"));
    QTest::mouseClick(f.box(), Qt::LeftButton);

    f.pick(f.selectLegion(), "/legion/Wow.exe");
    QTest::mouseClick(f.button(0), Qt::LeftButton); // "×", not "Save"
    QVERIFY(!f.page()->isVisible());
    QCOMPARE(setting("Main", "MinimizeOnPlay"), QString("yes"));
    QCOMPARE(setting("ClientLocation", "LEGION"), QString("/legion/Wow.exe"));

    // A fresh window reads back what the closed page stored.
    MainWindow other;
    other.OpenSettings();
    QVERIFY(other.findChild<QCheckBox *>("MinimizeOnPlay")->isChecked());
    QCOMPARE(other.findChild<QLineEdit *>("legionpath")->text(), QString("/legion/Wow.exe"));
}

void TestSettings::textsAreRussianWithTheCatalogue()
{
    QTranslator translator;
    QVERIFY(translator.load(":/locale/locale_ru_RU"));
    QCoreApplication::installTranslator(&translator);
    Fixture f;
    f.open();
    f.pick(f.selectWotlk(), QString());
    QCoreApplication::removeTranslator(&translator);

    QCOMPARE(FilePicker::lastRequest().caption, QString("Выберите файл"));
    const QObjectList children = f.page()->children();
    for (int i = 0; i < children.size(); ++i) {
        if (kChildren[i].russian)
            QCOMPARE(textOf(children.at(i)), QString::fromUtf8(kChildren[i].russian));
    }
}

void TestSettings::openingRestoresTheDefaultBackground()
{
    Fixture f;
    const QString expected = styleSheetWithBackground(kDefaultBackground);
    f.open();
    QCOMPARE(f.window.styleSheet(), expected);

    // As after choosing a client: the whole sheet with that client's picture.
    const QString client = "QMainWindow { background: url(':/media/wotlk-bg_small.jpg'); }";
    f.window.setStyleSheet(styleSheetWithBackground(client));
    f.window.OpenSettings();
    QCOMPARE(f.window.styleSheet(), expected);
    QVERIFY(f.window.styleSheet().startsWith(applicationStyleSheet()));
    QCOMPARE(f.window.styleSheet().count("QMainWindow { background"), 1);
}

void TestSettings::firstRunOpensEmptyPageAndWritesDefaults_data()
{
    QTest::addColumn<QString>("existing");
    QTest::newRow("no config.conf") << QString();
    QTest::newRow("config.conf is a folder") << "folder";
}

void TestSettings::firstRunOpensEmptyPageAndWritesDefaults()
{
    QFETCH(QString, existing);
    Fixture f;
    if (!existing.isEmpty())
        QDir().mkdir(Config::FileName);
    f.window.show();
    QVERIFY(runFirstRunIfNeeded(f.window, f.bar()));

    QVERIFY(f.page() && f.page()->isVisible());
    QCOMPARE(f.field("wotlkpath")->text(), QString());
    QCOMPARE(f.field("legionpath")->text(), QString());
    QVERIFY(!f.box()->isChecked());
    QVERIFY(!f.bar()->isVisible());
    if (existing.isEmpty()) {
        const QMap<QString, QString> contents = configContents();
        QCOMPARE(contents.size(), 20);
        QCOMPARE(contents.value("ClientVersion/WOTLK"), QString("0.0"));
        QVERIFY(!readFile(Config::FileName).contains("[Main]"));
    }
}

void TestSettings::firstRunWaitsForAWotlkExecutable()
{
    Fixture f;
    QSignalSpy saved(&f.window, SIGNAL(SettingsSaved()));
    f.window.show();
    QVERIFY(runFirstRunIfNeeded(f.window, f.bar()));
    QCOMPARE(saved.count(), 0);

    f.pick(f.selectLegion(), "/legion/Wow.exe");
    QCOMPARE(saved.count(), 0);
    const QString exe = makeClient(f.dir.filePath("client"), "Wow.exe", {"enUS"});
    f.pick(f.selectWotlk(), exe);
    QCOMPARE(saved.count(), 1);
    QCOMPARE(localeFlags(), QString("001000"));

    // With config.conf in place, a later start takes the ordinary path.
    MainWindow second;
    QVERIFY(!runFirstRunIfNeeded(second, second.findChild<QProgressBar *>("LoadProgress")));
    QVERIFY(!second.findChild<QWidget *>("setting_window"));
}

// The application object as the close button sees it.
class QuitProbe : public QObject
{
    Q_OBJECT
public:
    int calls = 0;
public slots:
    void quit() { ++calls; }
};

// Built as main builds it; every connection is checked by what it does (a misspelt signal or
// slot name would only warn at run time).
void TestSettings::launcherIsWiredAsMainWiresIt()
{
    Fixture f; // no config.conf yet: the updater sends nothing on its own
    TestHttpServer server;
    qputenv("EMBERCREST_MANIFEST_URL", server.url("/manifest.json").toEncoded());
    QuitProbe application;
    AppConfig updater;
    QProgressBar *bar = showLauncher(&application, f.window, updater);
    QCOMPARE(bar->format(), QString("Checking updates..."));
    QVERIFY(f.window.windowFlags().testFlag(Qt::FramelessWindowHint));
    QCOMPARE(f.window.styleSheet(), applicationStyleSheet());
    const auto click = [&f](const char *name) {
        f.window.findChild<QPushButton *>(name, Qt::FindChildrenRecursively)->click();
    };

    click("TitleBar_Close");
    QCOMPARE(application.calls, 1);
    click("TitleBar_Minimize");
    QVERIFY(f.window.isMinimized());
    f.window.showNormal();
    click("Settings_Open");
    QVERIFY(f.page() && f.page()->isVisible());
    click("LEGION");
    QVERIFY(f.window.styleSheet().endsWith("legion-bg_small.jpg') no-repeat; }"));
    click("WOTLK");
    QVERIFY(f.window.styleSheet().endsWith("wotlk-bg_small.jpg') no-repeat; }"));
    // Not an .exe: off Windows that would need Wine, which a test machine need not have.
    Config::WriteSetting("ClientLocation", "WOTLK", f.dir.filePath("missing/wow-client"));
    Config::WriteSetting("Main", "MinimizeOnPlay", "yes");
    click("Play"); // the start fails, the launcher minimises all the same
    QVERIFY(f.window.isMinimized());
    f.window.showNormal();

    // SettingsSaved starts a check; the server has no manifest, which the bar then says.
    emit f.window.SettingsSaved();
    QTRY_COMPARE(server.hits("/manifest.json"), 1);
    QTRY_COMPARE(bar->format(), QString("Update server unavailable"));

    struct Emitted
    {
        const char *signal;
        QString format; // null: the signal reaches no slot, the bar keeps its text
    };
    const Emitted emitted[] = {
        {"UpdatesChecked", "Updates checked!"},
        {"ConfigNotFound", QString()},
        {"ClientNotFound", "Client not found!"},
        {"downloadFinishedMain", "Download finished!"},
        {"HaveUpdates", "Preparing to update..."},
        {"finished", QString()},
        {"downloadFailedMain", "Download failed!"},
        {"UpdateCheckFailed", "Update server unavailable"},
        {"UpdateRefused", "Update refused: please update the launcher"},
    };
    for (const Emitted &e : emitted) {
        bar->setFormat("before");
        QVERIFY2(QMetaObject::invokeMethod(&updater, e.signal), e.signal);
        QCOMPARE(bar->format(), e.format.isNull() ? QString("before") : e.format);
    }
    emit updater.SendData(512, 1024, "a.MPQ");
    QCOMPARE(bar->format(), QString("a.MPQ 50%"));
    QCOMPARE(application.calls, 1);
    qunsetenv("EMBERCREST_MANIFEST_URL");
}

void TestSettings::normalStartShowsCheckingUpdates_data()
{
    QTest::addColumn<QString>("catalogue");
    QTest::newRow("English") << QString();
    QTest::newRow("Russian") << ":/locale/locale_ru_RU";
}

// With config.conf in place, a start built as main builds it shows the bar at 0 with the
// untranslated start-up text, whatever the system's language.
void TestSettings::normalStartShowsCheckingUpdates()
{
    QFETCH(QString, catalogue);
    ScopedWorkDir dir;
    Config::CreateDefaultConfig();
    TestHttpServer server; // the updater's first request goes here
    qputenv("EMBERCREST_MANIFEST_URL", server.url("/manifest.json").toEncoded());
    QTranslator translator;
    if (!catalogue.isEmpty()) {
        QVERIFY(translator.load(catalogue));
        QCoreApplication::installTranslator(&translator);
    }
    MainWindow window;
    AppConfig updater;
    QuitProbe application;
    QProgressBar *bar = showLauncher(&application, window, updater);
    const bool firstRun = runFirstRunIfNeeded(window, bar);
    QCoreApplication::removeTranslator(&translator);
    qunsetenv("EMBERCREST_MANIFEST_URL");

    QVERIFY(!firstRun);
    QVERIFY(window.isVisible());
    QVERIFY(bar->isVisible());
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->format(), QString("Checking updates..."));
    QCOMPARE(bar->text(), QString("Checking updates..."));
    // The catalogue was in use: the window's own texts are translated.
    QCOMPARE(window.findChild<QPushButton *>("Play")->text(),
             catalogue.isEmpty() ? QString("Play") : QString("Играть"));
}

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
