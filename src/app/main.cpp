#include "app/wiring.h"
#include "ui/mainwindow.h"
#include "ui/style.h"
#include "updater/appconfig.h"

#include <QApplication>
#include <QLocale>
#include <QProgressBar>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);

    // Installed before any window exists, so every text is translated from the first paint.
    QTranslator translator;
    (void)translator.load(QStringLiteral(":/locale/locale_") + QLocale::system().name());
    QCoreApplication::installTranslator(&translator);

    MainWindow window;
    AppConfig updater;

    window.setWindowFlags(Qt::FramelessWindowHint);

    auto *progressBar = window.findChild<QProgressBar *>(QStringLiteral("LoadProgress"),
                                                         Qt::FindChildrenRecursively);
    progressBar->setFormat(QStringLiteral("Checking updates..."));

    connectLauncher(&application, window, updater);

    window.setStyleSheet(applicationStyleSheet());

    window.show();

    runFirstRunIfNeeded(window, progressBar);

    QApplication::exec();
    return 0;
}
