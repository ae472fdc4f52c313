#include "app/wiring.h"
#include "ui/mainwindow.h"
#include "ui/style.h"
#include "updater/appconfig.h"

#include <QApplication>
#include <QLocale>
#include <QPixmapCache>
#include <QProgressBar>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    // The 1920 x 1910 background decodes to about 15 MB, more than Qt's default 10 MB pixmap
    // cache holds: without room for it, every repaint behind a widget would decode it again.
    QPixmapCache::setCacheLimit(32 * 1024);

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
