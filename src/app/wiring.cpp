#include "wiring.h"

#include "config/config.h"
#include "ui/mainwindow.h"
#include "ui/style.h"
#include "updater/appconfig.h"
#include "updater/launcherinstall.h"

#include <QDebug>

#include <QPixmapCache>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

void connectLauncher(QObject *application, MainWindow &window, AppConfig &updater)
{
    const auto button = [&window](const char *name) {
        return window.findChild<QPushButton *>(QLatin1String(name), Qt::FindChildrenRecursively);
    };
    QObject::connect(button("TitleBar_Close"), SIGNAL(clicked()), application, SLOT(quit()));
    QObject::connect(button("TitleBar_Minimize"), SIGNAL(clicked()), &window,
                     SLOT(showMinimized()));
    QObject::connect(button("Settings_Open"), SIGNAL(clicked()), &window, SLOT(OpenSettings()));
    QObject::connect(button("WOTLK"), SIGNAL(clicked()), &window, SLOT(SelectWotlk()));
    QObject::connect(button("LEGION"), SIGNAL(clicked()), &window, SLOT(SelectLegion()));
    QObject::connect(button("Play"), SIGNAL(clicked()), &window, SLOT(RunClient()));
    QObject::connect(&window, SIGNAL(SettingsSaved()), &updater, SLOT(CheckUpdates()));
    QObject::connect(&updater, SIGNAL(UpdatesChecked()), &window, SLOT(BarChange_Format()));
    QObject::connect(&updater, SIGNAL(ClientNotFound()), &window, SLOT(BarChange_CNF()));
    QObject::connect(&updater, SIGNAL(HaveUpdates()), &window, SLOT(BarChange_HaveUpd()));
    QObject::connect(&updater, SIGNAL(SendData(qint64, qint64, QString)), &window,
                     SLOT(BarChange_Value(qint64, qint64, QString)));
    QObject::connect(&updater, SIGNAL(downloadFinishedMain()), &window, SLOT(BarChange_DwdFd()));
    // A run that did not save every file says so instead of "Download finished!".
    QObject::connect(&updater, SIGNAL(downloadFailedMain()), &window, SLOT(BarChange_DwdFailed()));
    // A check that found no manifest says so instead of "Checking updates..." for ever.
    QObject::connect(&updater, SIGNAL(UpdateCheckFailed()), &window, SLOT(BarChange_CheckFailed()));
    // A manifest that arrived and was refused is not blamed on the server.
    QObject::connect(&updater, SIGNAL(UpdateRefused()), &window, SLOT(BarChange_UpdateRefused()));
}

QProgressBar *showLauncher(QObject *application, MainWindow &window, AppConfig &updater)
{
    // The 1920 x 1910 background decodes to about 15 MB, more than Qt's default 10 MB pixmap
    // cache holds: without room for it, every repaint behind a widget would decode it again.
    QPixmapCache::setCacheLimit(32 * 1024);

    window.setWindowFlags(Qt::FramelessWindowHint);
    auto *progressBar = window.findChild<QProgressBar *>(QStringLiteral("LoadProgress"),
                                                         Qt::FindChildrenRecursively);
    progressBar->setFormat(QStringLiteral("Checking updates..."));
    connectLauncher(application, window, updater);
    window.setStyleSheet(applicationStyleSheet());
    window.show();
    return progressBar;
}

bool runFirstRunIfNeeded(MainWindow &window, QProgressBar *progressBar)
{
    if (Config::ConfigExists(Config::FileName))
        return false;
    window.OpenSettings();
    Config::CreateDefaultConfig();
    progressBar->hide();
    return true;
}

void watchLauncherHealth(AppConfig &updater)
{
    const QString starterNote = QString::fromUtf8(qgetenv("EMBERCREST_STARTER_NOTE"));
    if (!starterNote.isEmpty())
        qDebug().noquote() << starterNote;
    const LauncherInstall install = LauncherInstall::current();
    if (!install.onTrial()) {
        // Versions that an installer put beside this one, say: after the first paint.
        QTimer::singleShot(0, &updater, [install] { install.tidy(); });
        return;
    }
    auto *watch = new QObject(&updater);
    const auto healthy = [watch, install] {
        QObject::disconnect(watch->parent(), nullptr, watch, nullptr);
        watch->deleteLater();
        install.declareHealthy();
        qDebug().noquote() << QStringLiteral("Launcher %1 is healthy: kept").arg(install.version());
    };
    // Any end of the first check, the server's failure included: the launcher itself works.
    QObject::connect(&updater, &AppConfig::UpdatesChecked, watch, healthy);
    QObject::connect(&updater, &AppConfig::HaveUpdates, watch, healthy);
    QObject::connect(&updater, &AppConfig::ClientNotFound, watch, healthy);
    QObject::connect(&updater, &AppConfig::UpdateCheckFailed, watch, healthy);
    QObject::connect(&updater, &AppConfig::UpdateRefused, watch, healthy);
}
