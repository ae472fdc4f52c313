#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <functional>

// Bounds that no honest update server reaches, for every transfer the updater makes (the
// manifest, its signature, each file, through Qt's reply or the launcher's own reader): a
// transfer whose average rate over the last minute stays below 1 KiB/s is ended, and so is a
// manifest that grows past 16 MiB or a check that takes longer than the largest manifest takes
// on a slow link. Each bound is a knob of the environment (see docs/building.md).
class TransferGuard final : public QObject
{
    Q_OBJECT

public:
    struct Limits
    {
        qint64 maxBytes = -1; // -1: no bound on the size
        int overallMs = 0;    // 0: no bound on the time
    };

    // Watches `transfer` (it has a downloadProgress(qint64, qint64) signal) for as long as it
    // lives; `stop` ends it, and is told why, once.
    TransferGuard(QObject *transfer, const Limits &limits,
                  std::function<void(const QString &why)> stop);

    static constexpr qint64 kMaxManifestBytes = qint64(16) << 20;
    // EMBERCREST_MIN_RATE_BPS (default 1024) and EMBERCREST_RATE_WINDOW_S (default 60).
    static int minBytesPerSecond();
    static int rateWindowSeconds();
    // A link this slow (64 kbit/s) still brings a manifest of kMaxManifestBytes within the
    // check's time.
    static constexpr qint64 kSlowLinkBytesPerSecond = 8 * 1024;
    // EMBERCREST_CHECK_LIMIT_S, for the manifest and its signature together; by default the
    // time the largest manifest takes on a slow link (2048 s).
    static int checkLimitMs();

private slots:
    void received(qint64 bytesReceived, qint64 bytesTotal);

private:
    void sample();
    void end(const QString &why);

    Limits limits;
    std::function<void(const QString &)> stop;
    QTimer ticks;
    QVector<qint64> perSecond; // bytes received at each of the last window's seconds
    qint64 latest = 0;
    bool ended = false;
};
