#include "filehashjob.h"

#include <QThread>

FileHashJob::FileHashJob(const QString &path, qint64 bytes, QObject *parent)
    : QObject(parent), path(path), bytes(bytes)
{
}

FileHashJob::~FileHashJob()
{
    if (thread) {
        thread->disconnect(this);
        thread->wait();
        delete thread;
    }
}

void FileHashJob::start()
{
    // Until finished() the thread alone touches `state` and `complete`.
    thread = QThread::create([this] { complete = state.addFile(path, bytes); });
    connect(thread, &QThread::finished, this, [this] {
        thread->deleteLater();
        emit done(complete);
    });
    thread->start();
}
