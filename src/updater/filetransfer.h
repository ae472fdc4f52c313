#pragma once

#include "runplan.h"
#include "transferoutcome.h"

#include <QObject>

class HashCache;
class HostPool;
class QNetworkAccessManager;
class QNetworkReply;
class StagedFile;

// One file of a run, from the decision whether to fetch it to its staged file being committed
// or dropped; what the download queue sees of it. The plan decides the kind: a file without an
// integrity entry gets a PlainTransfer, one with an entry a VerifiedTransfer.
class FileTransfer : public QObject
{
    Q_OBJECT

public:
    // `output` is the queue's staged file, written by one transfer at a time; `cache` remembers
    // the hashes of verified files; `hosts` is what the run learnt of the manifest's mirrors.
    static FileTransfer *create(QNetworkAccessManager *network, const PlannedFile &file,
                                StagedFile &output, HashCache &cache, HostPool &hosts,
                                bool integrityRequired, QObject *parent = nullptr);

    // False when the outcome is known at once (nothing to fetch, a target that cannot be
    // opened, an unusable entry); otherwise finished() follows.
    virtual bool start() = 0;
    // Writes what has arrived, a slice at a time.
    virtual void writeAvailable() = 0;
    // The reply of the running request (null while none runs, or ChunkedGet reads the body).
    virtual QNetworkReply *reply() const = 0;

    const PlannedFile &file() const { return planned; }
    TransferOutcome outcome() const { return result; }

signals:
    void progress(qint64 bytesReceived, qint64 bytesTotal);
    void dataArrived();
    void finished();

protected:
    FileTransfer(const PlannedFile &file, QObject *parent);
    void end(const TransferOutcome &outcome);

    const PlannedFile planned;
    TransferOutcome result;
};
