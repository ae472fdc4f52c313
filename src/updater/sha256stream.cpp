#include "sha256stream.h"

namespace {

// What may wait for the worker before a writer waits for it: a few of the network's slices.
constexpr qint64 kMaxQueuedBytes = qint64(8) << 20;

} // namespace

Sha256Stream::~Sha256Stream()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    if (worker.joinable())
        worker.join();
}

void Sha256Stream::add(const QByteArray &chunk)
{
    if (!background) {
        state.addData(chunk);
        return;
    }
    std::unique_lock<std::mutex> lock(mutex);
    if (!worker.joinable())
        worker = std::thread([this] { run(); });
    // Implicitly shared: the worker reads the same bytes, nothing is copied.
    queue.push_back(chunk);
    queuedBytes += chunk.size();
    wake.notify_one();
    drained.wait(lock, [this] { return queuedBytes <= kMaxQueuedBytes; });
}

void Sha256Stream::reset()
{
    drain();
    state.reset();
}

void Sha256Stream::continueFrom(Sha256 &start)
{
    drain();
    state.swap(start);
}

QByteArray Sha256Stream::hexResult()
{
    drain();
    return state.hexResult();
}

void Sha256Stream::drain()
{
    if (!background)
        return;
    std::unique_lock<std::mutex> lock(mutex);
    drained.wait(lock, [this] { return queue.empty() && !hashing; });
}

void Sha256Stream::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || !queue.empty(); });
        if (queue.empty())
            return; // stopping, and nothing left
        const QByteArray chunk = queue.front();
        queue.pop_front();
        hashing = true;
        lock.unlock();
        state.addData(chunk);
        lock.lock();
        hashing = false;
        queuedBytes -= chunk.size();
        drained.notify_all();
    }
}
