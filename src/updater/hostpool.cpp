#include "hostpool.h"

#include <QStringList>

QString HostPool::hostOf(const QUrl &url)
{
    return url
        .adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment |
                  QUrl::RemoveUserInfo)
        .toString();
}

std::optional<QUrl> HostPool::pick(const QVector<QUrl> &candidates,
                                   const QSet<QString> &passed) const
{
    std::optional<QUrl> best;
    double bestRate = -1;
    for (const QUrl &url : candidates) {
        const QString host = hostOf(url);
        const Host state = hosts.value(host);
        if (passed.contains(host) || !state.usable())
            continue;
        if (state.ms == 0)
            return url; // not measured yet: worth learning, in the manifest's order
        if (state.rate() > bestRate) {
            bestRate = state.rate();
            best = url;
        }
    }
    return best;
}

std::optional<QUrl> HostPool::fasterThan(double bytesPerSecond, bool exploring,
                                         const QVector<QUrl> &candidates,
                                         const QSet<QString> &passed) const
{
    for (const QUrl &url : candidates) {
        const QString host = hostOf(url);
        const Host state = hosts.value(host);
        if (passed.contains(host) || !state.usable())
            continue;
        // Twice as fast, so that two hosts of about the same speed do not take turns.
        if ((state.ms == 0 && exploring) || (state.ms > 0 && state.rate() > 2 * bytesPerSecond))
            return pick(candidates, passed);
    }
    return std::nullopt;
}

void HostPool::served(const QUrl &url, qint64 bytes, qint64 ms)
{
    Host &host = hosts[hostOf(url)];
    host.bytes += bytes;
    host.ms += qMax<qint64>(ms, 1);
}

HostPool::Standing HostPool::failed(const QUrl &url, const QString &why)
{
    Host &host = hosts[hostOf(url)];
    ++host.errors;
    host.lastFailure = why;
    if (host.quarantined)
        return Standing::Quarantined;
    return host.errors >= kMaxErrors ? Standing::Skipped : Standing::Usable;
}

void HostPool::quarantine(const QUrl &url, const QString &why)
{
    Host &host = hosts[hostOf(url)];
    host.quarantined = true;
    host.lastFailure = why;
}

QString HostPool::lastFailures(const QVector<QUrl> &candidates) const
{
    QStringList parts;
    for (const QUrl &url : candidates) {
        const QString host = hostOf(url);
        const QString why = hosts.value(host).lastFailure;
        parts.append(
            QStringLiteral("%1 (%2)").arg(host, why.isEmpty() ? QStringLiteral("not tried") : why));
    }
    return parts.join(QStringLiteral("; "));
}
