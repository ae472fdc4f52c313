#include "downloadsink.h"

#include "hashcache.h"
#include "resume.h"
#include "stagedfile.h"

DownloadSink::DownloadSink(StagedFile &file, const PlannedFile &planned)
    : file(file), planned(planned)
{
}

Problem DownloadSink::write(const QByteArray &chunk)
{
    if (!file.write(chunk))
        return {file.errorString(), Problem::Cause::Here};
    bytes += chunk.size();
    if (!planned.integrity)
        return {};
    hash.addData(chunk);
    digest.clear();
    // Longer than the manifest says: it cannot be the file, no use fetching the rest.
    if (bytes > planned.integrity->size)
        return {QStringLiteral("%1 is longer than the %2 bytes the manifest gives")
                    .arg(planned.target)
                    .arg(planned.integrity->size),
                Problem::Cause::WrongBytes};
    return {};
}

Problem DownloadSink::restart()
{
    bytes = 0;
    hash.reset();
    digest.clear();
    if (!file.restart())
        return {file.errorString(), Problem::Cause::Here};
    return {};
}

void DownloadSink::continueFrom(Sha256 &start, qint64 have)
{
    hash.swap(start);
    bytes = have;
    digest.clear();
}

// With the manifest's size and SHA-256, compares what arrived; none when it is the file.
Problem DownloadSink::verify()
{
    // The hash is of the bytes written here; the file on disk must hold just those (nobody
    // else appended to it).
    const qint64 onDisk = file.size();
    if (onDisk != bytes)
        return {QStringLiteral("%1 holds %2 bytes on disk, but %3 were written to it; the old "
                               "file is kept")
                    .arg(planned.target)
                    .arg(onDisk)
                    .arg(bytes),
                Problem::Cause::Here};
    // Taken once: finishing the hash starts it anew.
    if (digest.isEmpty())
        digest = hash.hexResult();
    const QByteArray &sha256 = digest;
    if (bytes == planned.integrity->size && sha256 == planned.integrity->sha256)
        return {};
    return {QStringLiteral("%1 arrived with %2 bytes and SHA-256 %3, but the manifest says %4 "
                           "bytes and SHA-256 %5; the old file is kept")
                .arg(planned.target)
                .arg(bytes)
                .arg(QString::fromLatin1(sha256))
                .arg(planned.integrity->size)
                .arg(QString::fromLatin1(planned.integrity->sha256)),
            Problem::Cause::WrongBytes};
}

Problem DownloadSink::commit(Problem problem, HashCache &cache)
{
    if (!problem && planned.integrity)
        problem = verify();
    const bool partial = file.isPersistent();
    if (!problem && !file.commit())
        problem = {file.errorString()};
    if (problem) {
        discard();
        return problem;
    }
    if (partial)
        Resume::forget(planned.target);
    // A verified file's hash is remembered, so that the next update need not read it.
    if (planned.integrity)
        cache.remember(planned.target, FileStamp::of(file.targetPath()), planned.integrity->sha256);
    return {};
}

void DownloadSink::discard()
{
    const bool partial = file.isPersistent();
    file.discard();
    if (partial)
        Resume::forget(planned.target);
}
