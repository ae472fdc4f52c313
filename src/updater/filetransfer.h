#pragma once

#include "contentdecoder.h"
#include "downloadsink.h"
#include "runplan.h"

#include <QObject>
#include <QPointer>
#include <QString>

class ChunkedGet;
class HashCache;
class QIODevice;
class QNetworkAccessManager;
#include <QNetworkReply>
class StagedFile;

// How one file of a run ended.
struct TransferOutcome
{
    enum class Kind {
        Saved,          // the new file is in place
        Unchanged,      // the file there already has the listed size and SHA-256: not fetched
        NotModified,    // a 304 kept the file that is there
        Redirected,     // a redirect status: nothing saved, the redirect is reported
        NotOpened,      // no target could be opened: nothing was requested
        Failed,         // nothing saved; `problem` says why
        KeptToContinue, // nothing saved; the partial file stays for the next start
    };
    Kind kind = Kind::Failed;
    QString problem;
    // The file counts as done for the run.
    bool counts() const
    {
        return kind == Kind::Saved || kind == Kind::Unchanged || kind == Kind::NotModified;
    }
};

// One file, from the decision whether to fetch it to its staged file being committed or
// dropped. Without an integrity entry it is a plain GET whose reply alone decides the outcome.
// With one, the file there may already be the listed one, a transfer that breaks off is
// continued with Range requests (a big one across starts), and nothing but the listed bytes is
// ever moved over the target.
//
// The reply comes from the updater's own manager, so its reply gate sees it. A chunked reply is
// dropped and fetched again by ChunkedGet, which knows a cut body from a whole one.
class FileTransfer final : public QObject
{
    Q_OBJECT

public:
    // `output` is the queue's staged file, written by one transfer at a time; `cache` remembers
    // the hashes of verified files.
    FileTransfer(QNetworkAccessManager *network, const PlannedFile &file, StagedFile &output,
                 HashCache &cache, bool integrityRequired, QObject *parent = nullptr);
    ~FileTransfer() override;

    // False when the outcome is known at once (nothing to fetch, a target that cannot be
    // opened, an unusable entry); otherwise finished() follows.
    bool start();
    // Writes what has arrived, a slice at a time.
    void writeAvailable();

    const PlannedFile &file() const { return planned; }
    // The reply of the running request (null while none runs, or ChunkedGet reads the body).
    QNetworkReply *reply() const { return activeReply; }
    TransferOutcome outcome() const { return result; }

signals:
    void progress(qint64 bytesReceived, qint64 bytesTotal);
    void dataArrived();
    void finished();

private:
    bool fetch();
    bool resumePartial();
    void beginTransfer();
    void endWhenTooSlow(QObject *transfer);
    void headersArrived();
    void keepPartialAcrossStarts();
    void readChunkedBodyItself();
    QIODevice *source() const;
    bool writeSlice(qint64 maxBytes);
    Problem writeDecoded(const QByteArray &coded);
    void stop(const Problem &problem);
    void replyFinished();
    void chunkedFinished();
    bool retry();
    TransferOutcome judgeReply();
    TransferOutcome commit(const Problem &problem);
    void end(const TransferOutcome &outcome);
    void restartFile();

    QNetworkAccessManager *network;
    PlannedFile planned;
    StagedFile &outputFile;
    HashCache &hashCache;
    bool integrityRequired;
    TransferOutcome result;

    QPointer<QNetworkReply> activeReply;
    ChunkedGet *chunkedGet = nullptr;
    DownloadSink sink{outputFile, planned};
    bool writeSliceArmed = false;
    Problem failure; // why the file cannot be saved, once that is clear
    // A body the server compressed, and its bytes as they came.
    std::unique_ptr<ContentDecoder> decoder;
    qint64 codedBytes = 0;

    // Continuing a transfer that broke off (with an integrity entry only).
    int retries = 0;
    bool headersSeen = false;
    qint64 resumeFrom = 0; // the offset the current request asked for
    qint64 fullSize = -1;  // the whole file's size as the server gave it
    QByteArray validator;  // the server's ETag or Last-Modified, sent with If-Range
};
