#pragma once

#include "filetransfer.h"
#include "hashcache.h"
#include "hostpool.h"
#include "runflush.h"
#include "runplan.h"
#include "stagedfile.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

// The files to fetch, one transfer at a time: what waits, what each file must be (the plan),
// the transfer under way, and the run's counts. A run ends once its files are on disk, in one
// value (runEnded). The updater decides what goes in and when a transfer starts; the queue
// fetches, logs each file's end and counts it.
class DownloadQueue final : public QObject
{
    Q_OBJECT

public:
    explicit DownloadQueue(QNetworkAccessManager *network, QObject *parent = nullptr);
    // Drops the file under way (its target keeps what it had) and waits for a flush.
    ~DownloadQueue() override;

    // A manifest reading listed `urlText` (see RunPlan).
    void noteListed(const QString &urlText, const ManifestReading &reading);
    void forgetListed(const QString &urlText) { plan.forgetListed(urlText); }
    // Removes what killed runs left in a folder that this run writes into.
    void sweepLeftovers(const QString &folder) { outputFile.sweepLeftovers(folder); }
    // Queues a file to `path` (empty: it may not be written). A file already waiting stays
    // where it is, bound anew to what the newest reading says of it. True when it was queued.
    bool add(const QUrl &url, const QString &urlText, const QString &path, const QString &locale);
    // The version that the files queued so far belong to: recorded when their run succeeds.
    void setRunVersion(const QString &version) { runVersion = version; }

    bool hasWaiting() const { return !pendingUrls.isEmpty(); }
    // A transfer or a flush runs, or a start is armed: whatever ends it goes on with the queue.
    bool busy() const;
    void armStart() { startPending = true; }
    // Starts the next waiting file, logging and counting every file whose outcome is known at
    // once. Null when none was started: the queue ran empty and the run ends (runEnded follows)
    // or a transfer or flush still runs.
    const FileTransfer *startNext(bool integrityRequired);
    // Writes what the current transfer has received.
    void writeAvailable();

    struct FileEnd
    {
        TransferOutcome outcome;
        QNetworkReply *reply = nullptr; // its last reply, released with the transfer
    };
    // The current transfer has finished: its outcome is logged (but for a redirect, which the
    // updater reports) and counted.
    std::optional<FileEnd> endFile();

signals:
    void progress(qint64 bytesReceived, qint64 bytesTotal);
    void dataArrived();
    void fileFinished();
    void runEnded(const RunFlush::Ended &run);

private:
    void report(const PlannedFile &file, const TransferOutcome &outcome);
    void finishRun();

    QNetworkAccessManager *network;
    // URLs to fetch, first in first out, and the same as a set for a quick "already waiting?".
    QList<QUrl> pendingUrls;
    QSet<QUrl> waitingUrls;
    bool startPending = false;
    // What each listed and each queued file must be.
    RunPlan plan;
    // Written beside the target and moved over it only once the whole file has arrived, so a
    // failed transfer never costs the player the file they had.
    StagedFile outputFile;
    // The file being fetched (or checked) now; it reports one outcome.
    FileTransfer *transfer = nullptr;
    int savedCount = 0;
    int queuedCount = 0;
    // The version that the files of the current run belong to.
    QString runVersion;
    HashCache hashCache{QStringLiteral("hashcache.dat")};
    // How the manifest's hosts served this run.
    HostPool hosts;
    // The files of the run, put on disk before its version is recorded.
    RunFlush flush;
};
