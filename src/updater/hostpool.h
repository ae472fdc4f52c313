#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QString>
#include <QUrl>
#include <QVector>

#include <optional>

// The hosts that serve one run's files with an integrity entry: the manifest's own and its
// mirrors. A file goes to the host that served fastest so far; one that has not served yet is
// tried first, to learn its speed. A host that sent other bytes than the listed ones is not
// used again in the run (quarantined), nor one that failed three times (skipped).
class HostPool
{
public:
    enum class Standing { Usable, Skipped, Quarantined };

    // "scheme://host:port", the name a host goes by in the log.
    static QString hostOf(const QUrl &url);

    // The best of `candidates` that may be used and whose host is not in `passed`.
    std::optional<QUrl> pick(const QVector<QUrl> &candidates, const QSet<QString> &passed) const;
    // A host worth moving a transfer to that runs at `bytesPerSecond` on a host that had not
    // served before (`exploring`): one not yet measured, or one that served over twice as fast.
    std::optional<QUrl> fasterThan(double bytesPerSecond, bool exploring,
                                   const QVector<QUrl> &candidates,
                                   const QSet<QString> &passed) const;
    bool measured(const QUrl &url) const { return hosts.value(hostOf(url)).ms > 0; }

    void served(const QUrl &url, qint64 bytes, qint64 ms);
    Standing failed(const QUrl &url, const QString &why);
    void quarantine(const QUrl &url, const QString &why);
    // Each candidate host's last failure, for a file that none could serve.
    QString lastFailures(const QVector<QUrl> &candidates) const;
    // A new run starts with what is learnt anew.
    void clear() { hosts.clear(); }

    static constexpr int kMaxErrors = 3;

private:
    struct Host
    {
        qint64 bytes = 0;
        qint64 ms = 0; // time spent serving, 0: never measured
        int errors = 0;
        bool quarantined = false;
        QString lastFailure;
        double rate() const { return ms > 0 ? bytes * 1000.0 / ms : 0; }
        bool usable() const { return !quarantined && errors < kMaxErrors; }
    };
    QHash<QString, Host> hosts;
};

// One file's way through the pool: the host serving it now, the hosts it has left, and how
// fast the current request runs.
struct HostRoute
{
    QUrl current;
    QSet<QString> passed;
    bool exploring = false; // the current host had not served before
    bool spliced = false;   // the bytes so far came from more than one host
    int switches = 0;
    int rounds = 0;        // times every host had its turn
    QElapsedTimer since;   // the current request's start
    qint64 startBytes = 0; // the file's bytes when it started
};
