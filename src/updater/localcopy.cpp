#include "localcopy.h"

#include "filehashjob.h"
#include "hashcache.h"

LocalCopy::LocalCopy(HashCache &cache, QObject *parent) : QObject(parent), hashCache(cache) {}

LocalCopy::Verdict LocalCopy::check(const QString &path, const FileIntegrity &listed)
{
    const FileStamp stamp = FileStamp::of(path);
    if (!stamp.exists || stamp.size != listed.size)
        return Verdict::Fetch;
    const QByteArray known = hashCache.lookup(path, stamp);
    if (!known.isEmpty())
        return known == listed.sha256 ? Verdict::Unchanged : Verdict::Fetch;
    auto *job = new FileHashJob(path, stamp.size, this);
    connect(job, &FileHashJob::done, this, [this, job, path, stamp, listed](bool complete) {
        job->deleteLater();
        const QByteArray hash = complete ? job->hash().hexResult() : QByteArray();
        // Changed while it was read: the hash describes neither version.
        const bool steady = complete && FileStamp::of(path) == stamp;
        if (steady)
            hashCache.remember(path, stamp, hash);
        emit decided(steady && hash == listed.sha256);
    });
    job->start();
    return Verdict::Hashing;
}
