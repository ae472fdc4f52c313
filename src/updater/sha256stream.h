#pragma once

#include "sha256.h"

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// SHA-256 of the bytes of a download as they are written. For a big file the hashing runs on a
// thread of its own, so that a chunk is hashed while the next one arrives instead of in turn
// with writing it; a small file is hashed at once, as a thread would cost more than it saves.
class Sha256Stream
{
public:
    explicit Sha256Stream(bool inBackground) : background(inBackground) {}
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream &) = delete;
    Sha256Stream &operator=(const Sha256Stream &) = delete;

    void add(const QByteArray &chunk);
    // Starts again from nothing.
    void reset();
    // Goes on from `start`, the state of the bytes already there (a partial file's).
    void continueFrom(Sha256 &start);
    // 64 lowercase hex digits of everything added, once every chunk is hashed.
    QByteArray hexResult();

private:
    void run();
    void drain();

    const bool background;
    Sha256 state; // the worker's while a chunk is queued or being hashed
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable drained;
    std::deque<QByteArray> queue;
    qint64 queuedBytes = 0;
    bool hashing = false;
    bool stopping = false;
    std::thread worker;
};
