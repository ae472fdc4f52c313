#pragma once

#include "threadjob.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

// The end of a download run. Its files must be on disk before its version may be recorded:
// flushing a gigabyte takes the disk a while, so it runs on a thread of its own and the window
// stays responsive. The counts and the version are taken when the queue runs empty, so that a
// file queued meanwhile belongs to the next run, not to this one.
class RunFlush final : public QObject
{
    Q_OBJECT

public:
    struct Ended
    {
        int saved = 0;
        int queued = 0;
        QString version;
        bool complete = false; // every queued file saved, and all of them on disk
        bool flushFailed = false;
    };

    // Files already saved are flushed to the end, even when the launcher quits meanwhile.
    RunFlush() = default;

    // A file now in place, or found in place, for this run.
    void add(const QString &path) { files << path; }
    // The queue ran empty: `done` gets the run once its files are on disk (at once when there
    // is nothing to flush, or when the run failed anyway and keeps the old version).
    void finish(int saved, int queued, const QString &version,
                const std::function<void(const Ended &)> &done);
    bool running() const { return job.running(); }

private:
    QStringList files;
    ThreadJob job{this};
};
