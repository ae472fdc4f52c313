#include "mainwindow.h"

#include "config/config.h"
#include "ui/style.h"

#include <QProcess>
#include <QStringList>

void MainWindow::SelectWotlk()
{
    currentClient = QStringLiteral("WOTLK");
    setStyleSheet(styleSheetWithBackground(QStringLiteral(
        "QMainWindow { background: url(':/media/wotlk-bg_small.jpg') no-repeat; }")));
}

void MainWindow::SelectLegion()
{
    currentClient = QStringLiteral("LEGION");
    setStyleSheet(styleSheetWithBackground(QStringLiteral(
        "QMainWindow { background: url(':/media/legion-bg_small.jpg') no-repeat; }")));
}

bool MainWindow::RunClient()
{
    // With no client chosen there is nothing to start. The lookup must not even be made: its key
    // would be "ClientLocation/", which QSettings reads as a top-level "ClientLocation" key.
    if (currentClient.isEmpty())
        return true;
    const QString path = Config::ReadSetting(QStringLiteral("ClientLocation"), currentClient);
    const QString minimize =
        Config::ReadSetting(QStringLiteral("Main"), QStringLiteral("MinimizeOnPlay"));
    if (path.isEmpty())
        return true;
    // Detached, so that quitting the launcher never takes the game down with it. The client
    // inherits the launcher's working directory and environment; a failed start stays silent.
    QProcess::startDetached(path, QStringList());
    if (minimize == QLatin1String("yes"))
        showMinimized();
    return true;
}
