#include "runflush.h"

#include "diskflush.h"

#include <QSharedPointer>
#include <QThread>

#include <utility>

RunFlush::~RunFlush()
{
    if (thread) {
        thread->disconnect(this);
        thread->wait();
        delete thread;
    }
}

void RunFlush::finish(int saved, int queued, const QString &version,
                      const std::function<void(const Ended &)> &done)
{
    Ended run{saved, queued, version, saved == queued, false};
    const QStringList toFlush = files;
    files.clear();
    if (!run.complete || toFlush.isEmpty()) {
        done(run);
        return;
    }
    auto flushed = QSharedPointer<bool>::create(false);
    thread = QThread::create([toFlush, flushed] { *flushed = flushToDisk(toFlush); });
    connect(thread, &QThread::finished, this, [this, run, flushed, done]() mutable {
        std::exchange(thread, nullptr)->deleteLater();
        run.flushFailed = !*flushed;
        run.complete = *flushed;
        done(run);
    });
    thread->start();
}
