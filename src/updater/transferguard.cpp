#include "transferguard.h"

#include <QtGlobal>

#include <utility>

namespace {

int positiveOr(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

} // namespace

int TransferGuard::minBytesPerSecond()
{
    return positiveOr("EMBERCREST_MIN_RATE_BPS", 1024);
}

int TransferGuard::rateWindowSeconds()
{
    return positiveOr("EMBERCREST_RATE_WINDOW_S", 60);
}

int TransferGuard::checkLimitMs()
{
    return positiveOr("EMBERCREST_CHECK_LIMIT_S",
                      int(kMaxManifestBytes / kSlowLinkBytesPerSecond)) *
           1000;
}

TransferGuard::TransferGuard(QObject *transfer, const Limits &limits,
                             std::function<void(const QString &)> stop)
    : QObject(transfer), limits(limits), stop(std::move(stop))
{
    connect(transfer, SIGNAL(downloadProgress(qint64, qint64)), this,
            SLOT(received(qint64, qint64)));
    connect(&ticks, &QTimer::timeout, this, &TransferGuard::sample);
    ticks.start(1000);
    perSecond.append(0);
    if (limits.overallMs > 0)
        QTimer::singleShot(limits.overallMs, this, [this] {
            end(QStringLiteral("not complete after %1 s").arg(this->limits.overallMs / 1000));
        });
}

void TransferGuard::received(qint64 bytesReceived, qint64 bytesTotal)
{
    latest = bytesReceived;
    const qint64 size = qMax(bytesReceived, bytesTotal);
    if (limits.maxBytes >= 0 && size > limits.maxBytes)
        end(QStringLiteral("larger than %1 bytes").arg(limits.maxBytes));
}

// Once a whole window has passed, the bytes of its last seconds must reach the minimum rate.
void TransferGuard::sample()
{
    const int window = rateWindowSeconds();
    perSecond.append(latest);
    if (perSecond.size() > window + 1)
        perSecond.removeFirst();
    if (perSecond.size() <= window)
        return;
    const qint64 rate = (perSecond.last() - perSecond.first()) / window;
    if (rate < minBytesPerSecond())
        end(QStringLiteral("too slow: %1 bytes/s over the last %2 s, below %3 bytes/s")
                .arg(rate)
                .arg(window)
                .arg(minBytesPerSecond()));
}

void TransferGuard::end(const QString &why)
{
    if (ended)
        return;
    ended = true;
    ticks.stop();
    stop(why);
}
