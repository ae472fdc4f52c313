#pragma once

#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QThread>

#include <utility>

// Runs one piece of work on a thread of its own and hands its result to the owner's thread:
// reading or flushing gigabytes must not hold up the window. Held by value in its owner, it
// waits for work still running when the owner goes first, since the work may use what the
// owner holds.
class ThreadJob final
{
public:
    explicit ThreadJob(QObject *owner) : owner(owner) {}
    ~ThreadJob()
    {
        if (thread) {
            thread->disconnect(owner);
            thread->wait();
            delete thread;
        }
    }
    ThreadJob(const ThreadJob &) = delete;
    ThreadJob &operator=(const ThreadJob &) = delete;

    // `work()` on the thread, then `done(result)` on the owner's thread. One job at a time.
    template <typename Work, typename Done> void run(Work work, Done done)
    {
        using Result = decltype(work());
        auto result = QSharedPointer<Result>::create();
        thread = QThread::create([work = std::move(work), result]() mutable { *result = work(); });
        QObject::connect(thread, &QThread::finished, owner,
                         [this, result, done = std::move(done)]() mutable {
                             std::exchange(thread, nullptr)->deleteLater();
                             done(std::move(*result));
                         });
        thread->start();
    }
    bool running() const { return !thread.isNull(); }

private:
    QObject *const owner;
    QPointer<QThread> thread;
};
