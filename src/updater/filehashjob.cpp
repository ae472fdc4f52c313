#include "filehashjob.h"

FileHashJob::FileHashJob(const QString &path, qint64 bytes, QObject *parent)
    : QObject(parent), path(path), bytes(bytes)
{
}

void FileHashJob::start()
{
    // Until done() the thread alone touches `state`.
    job.run([this] { return state.addFile(path, bytes); },
            [this](bool complete) { emit done(complete); });
}
