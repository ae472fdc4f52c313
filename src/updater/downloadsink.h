#pragma once

#include "problem.h"
#include "runplan.h"
#include "sha256.h"

#include <QByteArray>
#include <QString>

class HashCache;
class Sha256;
class StagedFile;

// Where a transfer's bytes go: the queue's staged file, counted, and for a file with an
// integrity entry hashed as they are written (on the GUI thread: with two cores, a hashing
// thread of its own was measured slower) and bounded by the listed size. At the end the
// file goes over its target only when nothing is wrong with it and it is the listed one.
class DownloadSink
{
public:
    DownloadSink(StagedFile &file, const PlannedFile &planned);

    // None when the chunk was written; otherwise why the file cannot be saved any more.
    Problem write(const QByteArray &chunk);
    qint64 written() const { return bytes; }
    // From the first byte again; none, or why that failed.
    Problem restart();
    // A kept partial file's `have` bytes are there already; `hash` holds their SHA-256 state.
    void continueFrom(Sha256 &hash, qint64 have);
    // Moves the file over its target unless `problem` says otherwise or it is not the listed
    // file; otherwise drops it and any partial file kept for it. None when it was moved.
    Problem commit(Problem problem, HashCache &cache);
    // Whether the file written so far is the listed one, before it is committed.
    Problem verify();
    // Drops the file and any partial file kept for it; the target is not touched.
    void discard();

private:
    StagedFile &file;
    const PlannedFile &planned;
    Sha256 hash;
    QByteArray digest; // the hash's result, once taken
    qint64 bytes = 0;
};
