#pragma once

#include "sha256.h"
#include "threadjob.h"

#include <QObject>
#include <QString>

// The SHA-256 of a file's first bytes, read on a thread of its own: a file of gigabytes would
// hold up the window for seconds. done() follows start() on the object's thread; the job
// waits for its thread when it is deleted before that.
class FileHashJob final : public QObject
{
    Q_OBJECT

public:
    // `bytes` of `path` from its start.
    FileHashJob(const QString &path, qint64 bytes, QObject *parent = nullptr);

    void start();
    // After done(): the hash of what was read, to finish or to go on with.
    Sha256 &hash() { return state; }

signals:
    // `complete`: all of the bytes could be read.
    void done(bool complete);

private:
    const QString path;
    const qint64 bytes;
    Sha256 state;
    ThreadJob job{this};
};
