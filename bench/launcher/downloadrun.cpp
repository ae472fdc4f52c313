#include "downloadrun.h"

#include "benchprobe.h"
#include "updater/appconfig.h"

#include <QCoreApplication>
#include <QProgressBar>
#include <QTimer>

DownloadRun::DownloadRun(AppConfig &updater, QProgressBar *progressBar, int timeoutMs)
    : bar(progressBar)
{
    connect(&updater, SIGNAL(HaveUpdates()), this, SLOT(onHaveUpdates()));
    connect(&updater, SIGNAL(SendData(qint64, qint64, QString)), this,
            SLOT(onProgress(qint64, qint64, QString)));
    connect(&updater, SIGNAL(downloadFinishedMain()), this, SLOT(onFinished()));
    connect(&updater, SIGNAL(UpdatesChecked()), this, SLOT(onUpToDate()));
    connect(&updater, SIGNAL(ClientNotFound()), this, SLOT(onClientNotFound()));
    // The failure signal of a run that did not save every file, where the updater has one.
    if (updater.metaObject()->indexOfSignal("downloadFailedMain()") >= 0)
        connect(&updater, SIGNAL(downloadFailedMain()), this, SLOT(onFailed()));
    QTimer::singleShot(timeoutMs, this, &DownloadRun::onTimeout);
}

QJsonObject DownloadRun::result() const
{
    return {
        {QStringLiteral("outcome"), outcome},
        {QStringLiteral("seconds"), seconds},
        {QStringLiteral("idle_rss_kib"), idleRssKib},
        {QStringLiteral("peak_rss_kib"), peakRssKib},
        {QStringLiteral("peak_above_idle_kib"),
         BenchProbe::aboveIdle(peakRssKib, idleRssKib, peakReset)},
        {QStringLiteral("worst_stall_ms"), stalls.worstMs()},
        {QStringLiteral("stall_ticks"), stalls.ticks()},
        {QStringLiteral("progress_signals"), progressSignals},
        {QStringLiteral("bar_text"), bar->text()},
    };
}

void DownloadRun::onHaveUpdates()
{
    if (clock.isValid())
        return; // a second manifest reading within the same run
    // The window has been built and shown and the manifest read: this is the launcher at rest.
    idleRssKib = BenchProbe::statusKib("VmRSS");
    peakReset = BenchProbe::resetPeak();
    stalls.start();
    clock.start();
}

void DownloadRun::onProgress(qint64, qint64, const QString &)
{
    ++progressSignals;
}

void DownloadRun::onFinished()
{
    end(QStringLiteral("finished"));
}

void DownloadRun::onFailed()
{
    end(QStringLiteral("failed"));
}

void DownloadRun::onUpToDate()
{
    end(QStringLiteral("up to date: the manifest's version equals the installed one"));
}

void DownloadRun::onClientNotFound()
{
    end(QStringLiteral("client not found: ClientLocation/WOTLK is empty"));
}

void DownloadRun::onTimeout()
{
    end(QStringLiteral("timed out"));
}

void DownloadRun::end(const QString &how)
{
    if (!outcome.isEmpty())
        return;
    outcome = how;
    if (clock.isValid()) {
        seconds = clock.nsecsElapsed() / 1e9;
        stalls.stop();
    }
    peakRssKib = BenchProbe::statusKib("VmHWM");
    // Leave the loop after the signal's other receivers (the window's bar) have had their turn.
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
}
