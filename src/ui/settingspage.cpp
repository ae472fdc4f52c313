#include "mainwindow.h"

#include "config/config.h"
#include "ui/filepicker.h"
#include "ui/style.h"

#include <QCheckBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

namespace {

const char *const kPageName = "setting_window";

// Opening the settings always brings the default picture back, whichever client is chosen.
QString defaultBackgroundRule()
{
    return QStringLiteral("QMainWindow { background: url(':/media/main.bg.jpg') no-repeat; "
                          "background-position: top center; }");
}

QString executableFilter()
{
    return QStringLiteral("Exe file (*.exe)");
}

template <typename T> T *findNamed(const QObject *window, const char *name)
{
    return window->findChild<T *>(QLatin1String(name), Qt::FindChildrenRecursively);
}

QWidget *createPage(MainWindow *window)
{
    auto *page = new QWidget;
    QIcon icon;
    icon.addFile(QStringLiteral(":/media/embercrest.ico"));
    page->setWindowIcon(icon);
    page->setWindowFlags(Qt::FramelessWindowHint);
    page->setParent(window);
    page->setGeometry(76, 120, 1024, 480);
    page->setObjectName(QLatin1String(kPageName));
    return page;
}

template <typename T>
T *addChild(QWidget *page, const char *name, const QRect &geometry, const QString &text = QString())
{
    auto *widget = new T(page);
    if (name)
        widget->setObjectName(QLatin1String(name));
    widget->setGeometry(geometry);
    if (!text.isNull())
        widget->setText(text);
    return widget;
}

QLineEdit *addPathField(QWidget *page, const char *name, const QRect &geometry, const QString &path)
{
    auto *field = addChild<QLineEdit>(page, name, geometry);
    field->setReadOnly(true);
    field->setText(path);
    return field;
}

// The children are created in a fixed order: the style sheet and the stacking rely on it.
void addChildren(QWidget *page, MainWindow *window, const QString &wotlkPath,
                 const QString &legionPath)
{
    auto *close = addChild<QPushButton>(page, "close", {992, 0, 32, 32}, QString(QChar(0x00D7)));
    QObject::connect(close, SIGNAL(clicked()), page, SLOT(hide()));
    addChild<QLabel>(page, "name_settings", {450, 32, 256, 32}, MainWindow::tr("Settings"));
    addChild<QLabel>(
        page, "settings_slogan", {30, 90, 512, 32},
        MainWindow::tr("For normal launcher, specify the path to the game's clients:"));
    auto *save = addChild<QPushButton>(page, nullptr, {30, 410, 176, 40}, MainWindow::tr("Save"));
    QObject::connect(save, SIGNAL(clicked()), page, SLOT(hide()));

    addChild<QLabel>(page, nullptr, {60, 125, 512, 40},
                     QStringLiteral("World Of Warcraft Wrath of the Lich King:"));
    addPathField(page, "wotlkpath", {60, 160, 236, 40}, wotlkPath);
    auto *selectWotlk =
        addChild<QPushButton>(page, nullptr, {310, 160, 176, 40}, MainWindow::tr("Select..."));
    QObject::connect(selectWotlk, SIGNAL(clicked()), window, SLOT(SelectWotlkExe()));

    addChild<QLabel>(page, nullptr, {60, 210, 236, 40},
                     QStringLiteral("World of Warcraft Legion:"));
    addPathField(page, "legionpath", {60, 245, 236, 40}, legionPath);
    auto *selectLegion =
        addChild<QPushButton>(page, nullptr, {310, 245, 176, 40}, MainWindow::tr("Select..."));
    QObject::connect(selectLegion, SIGNAL(clicked()), window, SLOT(SelectLegionExe()));

    auto *minimize = addChild<QCheckBox>(page, "MinimizeOnPlay", {30, 320, 20, 20});
    QObject::connect(minimize, SIGNAL(clicked()), window, SLOT(MinimizeOnPlayChanged()));
    // Set by program after the connection: setChecked emits no clicked(), so nothing is written.
    minimize->setChecked(
        Config::ReadSetting(QStringLiteral("Main"), QStringLiteral("MinimizeOnPlay")) ==
        QLatin1String("yes"));

    addChild<QLabel>(page, nullptr, {60, 320, 256, 20}, MainWindow::tr("Minimize on start game"));
}

QString askForExecutable(MainWindow *window)
{
    return FilePicker::getOpenFileName(window, MainWindow::tr("Select File"),
                                       FilePicker::startDirectory(), executableFilter());
}

} // namespace

void MainWindow::OpenSettings()
{
    setStyleSheet(styleSheetWithBackground(defaultBackgroundRule()));

    if (settingsCreated == 1) {
        findNamed<QWidget>(this, kPageName)->show();
        return;
    }

    QWidget *page = createPage(this);
    const QString wotlkPath =
        Config::ReadSetting(QStringLiteral("ClientLocation"), QStringLiteral("WOTLK"));
    const QString legionPath =
        Config::ReadSetting(QStringLiteral("ClientLocation"), QStringLiteral("LEGION"));
    addChildren(page, this, wotlkPath, legionPath);
    settingsCreated = 1;
    page->show();
}

void MainWindow::MinimizeOnPlayChanged()
{
    auto *box = findNamed<QCheckBox>(this, "MinimizeOnPlay");
    const bool on = box->checkState() != Qt::Unchecked;
    Config::WriteSetting(QStringLiteral("Main"), QStringLiteral("MinimizeOnPlay"),
                         on ? QStringLiteral("yes") : QStringLiteral("no"));
}

bool MainWindow::SelectWotlkExe()
{
    const QString path = askForExecutable(this);
    auto *field = findNamed<QLineEdit>(this, "wotlkpath");
    // Reached from the page's button, so the field exists; a direct call without the page
    // compares with an empty field instead of faulting.
    const QString shownPath = field ? field->text() : QString();
    if (path.isEmpty())
        return true;

    if (path == shownPath) {
        // The executable that is already set was picked again: nothing new to check.
        showLoadProgress();
        loadProgress()->setFormat(tr("Updates checked!"));
        hideLoadProgressLater();
    } else {
        Config::ResetWotlkLocales();
        Config::ProbeWotlkClient(path);
        // A different client has received nothing through the updater yet.
        Config::WriteSetting(QStringLiteral("ClientVersion"), QStringLiteral("WOTLK"),
                             QStringLiteral("0.0"));
        emit SettingsSaved();
    }
    if (field)
        field->setText(path);
    return true;
}

bool MainWindow::SelectLegionExe()
{
    const QString path = askForExecutable(this);
    auto *field = findNamed<QLineEdit>(this, "legionpath");
    if (!path.isEmpty()) {
        if (field)
            field->setText(path);
        Config::WriteSetting(QStringLiteral("ClientLocation"), QStringLiteral("LEGION"), path);
    }
    return true;
}
