#include "localcopy.h"

#include "hashcache.h"
#include "sha256.h"

#include <QSharedPointer>
#include <QThread>

LocalCopy::LocalCopy(HashCache &cache, QObject *parent) : QObject(parent), hashCache(cache) {}

LocalCopy::~LocalCopy()
{
    if (thread) {
        thread->disconnect(this);
        thread->wait();
        delete thread;
    }
}

LocalCopy::Verdict LocalCopy::check(const QString &path, const FileIntegrity &listed)
{
    const FileStamp stamp = FileStamp::of(path);
    if (!stamp.exists || stamp.size != listed.size)
        return Verdict::Fetch;
    const QByteArray known = hashCache.lookup(path, stamp);
    if (!known.isEmpty())
        return known == listed.sha256 ? Verdict::Unchanged : Verdict::Fetch;
    auto hash = QSharedPointer<QByteArray>::create();
    thread = QThread::create([path, hash] { *hash = Sha256::ofFile(path); });
    connect(thread, &QThread::finished, this, [this, path, stamp, hash, listed] {
        thread->deleteLater();
        // Changed while it was read: the hash describes neither version.
        const bool steady = FileStamp::of(path) == stamp;
        if (steady)
            hashCache.remember(path, stamp, *hash);
        emit decided(steady && *hash == listed.sha256);
    });
    thread->start();
    return Verdict::Hashing;
}
