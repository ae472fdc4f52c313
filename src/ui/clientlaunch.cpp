#include "mainwindow.h"

#include "config/config.h"
#include "ui/clientstart.h"
#include "ui/style.h"

#include <QProcess>
#include <QProgressBar>
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
    const ClientStart::Command command = ClientStart::commandFor(path);
    if (!command.missing.isEmpty()) {
        // Nothing was started: the launcher stays up and says what is missing.
        showClientStartProblem(command.missing);
        return true;
    }
    // Detached, so that quitting the launcher never takes the game down with it. The client
    // inherits the launcher's environment (and, unless it runs through Wine, its working
    // directory); a failed start stays silent.
    QProcess::startDetached(command.program, command.arguments, command.workingDirectory);
    if (minimize == QLatin1String("yes"))
        showMinimized();
    return true;
}

// Stays up until the next state: the player has to read it to fix it.
void MainWindow::showClientStartProblem(const QString &missingCommand)
{
    showLoadProgress();
    loadProgress()->setFormat(tr("Cannot start the game: %1 not found (install Wine or set "
                                 "EMBERCREST_WINE)")
                                  .arg(missingCommand));
}
