// bench-launcher: one update run of the launcher, built and wired as main() does, offscreen.
// Run it in a folder with a config.conf whose installed version is older than the manifest's
// (EMBERCREST_MANIFEST_URL) and with EMBERCREST_DELAY_MS=0. Prints one BENCH-RESULT line.
#include "app/wiring.h"
#include "benchprobe.h"
#include "downloadrun.h"
#include "ui/mainwindow.h"
#include "updater/appconfig.h"

#include <QApplication>
#include <QLocale>
#include <QProgressBar>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QTranslator translator;
    (void)translator.load(QStringLiteral(":/locale/locale_") + QLocale::system().name());
    QCoreApplication::installTranslator(&translator);

    MainWindow window;
    AppConfig updater; // with config.conf present it has sent the manifest request already
    QProgressBar *progressBar = showLauncher(&application, window, updater);
    if (runFirstRunIfNeeded(window, progressBar)) {
        qCritical("bench-launcher: no config.conf in the working folder");
        return 2;
    }

    bool ok = false;
    const int timeoutSeconds = qEnvironmentVariableIntValue("BENCH_TIMEOUT_S", &ok);
    DownloadRun run(updater, progressBar, (ok && timeoutSeconds > 0 ? timeoutSeconds : 120) * 1000);
    QApplication::exec();
    BenchProbe::printResult(run.result());
    return run.exitCode();
}
