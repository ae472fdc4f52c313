#include "downloadqueue.h"

#include "resume.h"

#include <QDebug>
#include <QNetworkReply>

#include <utility>

DownloadQueue::DownloadQueue(QNetworkAccessManager *network, QObject *parent)
    : QObject(parent), network(network)
{
}

DownloadQueue::~DownloadQueue()
{
    // The current transfer, and any that ended but waits for its deletion, before the replies
    // that the updater's manager still holds.
    qDeleteAll(findChildren<FileTransfer *>(QString(), Qt::FindDirectChildrenOnly));
    transfer = nullptr;
    hashCache.save();
}

void DownloadQueue::noteListed(const QString &urlText, const ManifestReading &reading)
{
    plan.noteListed(urlText, reading);
}

bool DownloadQueue::add(const QUrl &url, const QString &urlText, const QString &path,
                        const QString &locale)
{
    // Fetched once, as the newest reading that lists it says: the version the run records is
    // that reading's, so its files must be too.
    plan.bind(url, urlText, path, locale);
    if (waitingUrls.contains(url))
        return false;
    pendingUrls.append(url);
    waitingUrls.insert(url);
    ++queuedCount;
    return true;
}

bool DownloadQueue::busy() const
{
    return transfer || startPending || flush.running();
}

const FileTransfer *DownloadQueue::startNext(bool integrityRequired)
{
    startPending = false;
    if (transfer || flush.running())
        return nullptr; // the running transfer or flush goes on with the queue when it ends
    // A loop rather than the call to itself after a failed open: a long run of unopenable
    // targets must not exhaust the stack.
    for (;;) {
        qDebug() << "Checking download queue...";
        if (pendingUrls.isEmpty()) {
            finishRun();
            return nullptr;
        }
        const QUrl url = pendingUrls.takeFirst();
        waitingUrls.remove(url);
        transfer = FileTransfer::create(network, plan.take(url), outputFile, hashCache, hosts,
                                        integrityRequired, this);
        connect(transfer, &FileTransfer::progress, this, &DownloadQueue::progress);
        connect(transfer, &FileTransfer::finished, this, &DownloadQueue::fileFinished);
        connect(transfer, &FileTransfer::dataArrived, this, &DownloadQueue::dataArrived);
        if (transfer->start())
            return transfer;
        report(transfer->file(), transfer->outcome());
        delete std::exchange(transfer, nullptr);
    }
}

void DownloadQueue::writeAvailable()
{
    if (transfer)
        transfer->writeAvailable();
}

std::optional<DownloadQueue::FileEnd> DownloadQueue::endFile()
{
    FileTransfer *done = std::exchange(transfer, nullptr);
    if (!done)
        return std::nullopt;
    const FileEnd ended{done->outcome(), done->reply()};
    report(done->file(), ended.outcome);
    done->deleteLater();
    return ended;
}

// The outcome of one file, as the log and the run's counts see it.
void DownloadQueue::report(const PlannedFile &file, const TransferOutcome &outcome)
{
    using Kind = TransferOutcome::Kind;
    const QString &path = file.target;
    switch (outcome.kind) {
    case Kind::Saved:
        flush.add(path);
        qDebug() << "Saved!";
        break;
    case Kind::NotModified:
        qDebug() << "Saved!";
        break;
    case Kind::Unchanged:
        qDebug().noquote() << QStringLiteral("Unchanged, not fetched: %1").arg(path);
        // It may come from a run that failed, whose files were never flushed.
        flush.add(path);
        break;
    case Kind::Redirected:
        break; // the updater reports it
    case Kind::NotOpened:
        qDebug() << "Problem opening save file" << file.url.toEncoded() << " for download";
        break;
    case Kind::Failed:
        qDebug() << "Error: " << outcome.problem;
        break;
    case Kind::KeptToContinue:
        qDebug() << "Error: " << outcome.problem;
        qDebug().noquote() << QStringLiteral("Keeping %1 to continue at the next start")
                                  .arg(Resume::partialPath(path));
        break;
    }
    if (outcome.counts())
        ++savedCount;
}

// The queue is empty: the run is over. Its counts and version are taken now, so that a file
// queued while its files are flushed starts a run of its own.
void DownloadQueue::finishRun()
{
    hosts.clear();
    const int saved = std::exchange(savedCount, 0);
    const int queued = std::exchange(queuedCount, 0);
    flush.finish(saved, queued, runVersion, [this](const RunFlush::Ended &run) {
        if (run.flushFailed)
            qDebug() << "Error: "
                     << QStringLiteral("the downloaded files could not be flushed to disk");
        hashCache.save();
        emit runEnded(run);
    });
}
