#include "runflush.h"

#include "diskflush.h"

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
    job.run([toFlush] { return flushToDisk(toFlush); },
            [run, done](bool flushed) mutable {
                run.flushFailed = !flushed;
                run.complete = flushed;
                done(run);
            });
}
