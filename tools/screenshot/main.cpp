// embercrest-screenshot: saves a picture of the launcher's window as it looks right after
// start-up, at the scale the platform gives it (QT_SCALE_FACTOR), with QWidget::grab.
// Usage: embercrest-screenshot OUTPUT.png [wotlk|legion]
#include "app/wiring.h"
#include "ui/mainwindow.h"
#include "updater/appconfig.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2 || args.size() > 3) {
        QTextStream(stderr) << "usage: embercrest-screenshot OUTPUT.png [wotlk|legion]\n";
        return 2;
    }
    const QString output = QFileInfo(args.at(1)).absoluteFilePath();
    // No config.conf here: the updater sends no request, and nothing is written elsewhere.
    QTemporaryDir work;
    if (!work.isValid() || !QDir::setCurrent(work.path()))
        return 1;

    MainWindow window;
    AppConfig updater;
    showLauncher(&application, window, updater);
    if (args.value(2) == QLatin1String("wotlk"))
        window.SelectWotlk();
    else if (args.value(2) == QLatin1String("legion"))
        window.SelectLegion();
    QCoreApplication::processEvents();

    const QPixmap picture = window.grab();
    if (!picture.save(output)) {
        QTextStream(stderr) << "embercrest-screenshot: cannot write " << output << '\n';
        return 1;
    }
    QTextStream(stdout) << output << ": " << picture.width() << " x " << picture.height()
                        << " pixels, scale " << picture.devicePixelRatio() << '\n';
    return 0;
}
