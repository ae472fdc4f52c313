#pragma once

#include "stallmeter.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>

class AppConfig;
class QProgressBar;

// Watches one update run of the launcher from the outside, through the updater's signals: the
// download starts when the manifest announced an update and ends with the updater's final
// signal. Meanwhile it measures the event loop's worst stall and the peak memory above the
// resident size that the launcher had before the download.
class DownloadRun final : public QObject
{
    Q_OBJECT

public:
    DownloadRun(AppConfig &updater, QProgressBar *progressBar, int timeoutMs);

    // 0 when the run ended with downloadFinishedMain(), 1 otherwise.
    int exitCode() const { return outcome == QLatin1String("finished") ? 0 : 1; }
    QJsonObject result() const;

private slots:
    void onHaveUpdates();
    void onProgress(qint64 bytesReceived, qint64 bytesTotal, const QString &filename);
    void onFinished();
    void onFailed();
    void onUpToDate();
    void onClientNotFound();
    void onTimeout();

private:
    void end(const QString &how);

    QProgressBar *bar;
    StallMeter stalls;
    QElapsedTimer clock;
    QString outcome;
    qint64 idleRssKib = -1;
    qint64 peakRssKib = -1;
    bool peakReset = false;
    double seconds = 0;
    qint64 progressSignals = 0;
};
