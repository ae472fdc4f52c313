#include "app/logfile.h"
#include "app/wiring.h"
#include "ui/mainwindow.h"
#include "updater/appconfig.h"

#include <QApplication>
#include <QDir>
#include <QLocale>
#include <QProgressBar>
#include <QTranslator>

int main(int argc, char *argv[])
{
    // First, so that even a platform plugin that fails to load leaves its reason there.
    LogFile::install(QDir::current().absoluteFilePath(QLatin1String(LogFile::FileName)));
    QApplication application(argc, argv);

    // Installed before any window exists, so every text is translated from the first paint.
    QTranslator translator;
    (void)translator.load(QStringLiteral(":/locale/locale_") + QLocale::system().name());
    QCoreApplication::installTranslator(&translator);

    MainWindow window;
    AppConfig updater;
    QProgressBar *progressBar = showLauncher(&application, window, updater);
    runFirstRunIfNeeded(window, progressBar);
    watchLauncherHealth(updater);

    QApplication::exec();
    return 0;
}
