#pragma once

#include "contentdecoder.h"
#include "downloadsink.h"
#include "filetransfer.h"
#include "problem.h"

#include <QNetworkReply>
#include <QPointer>

#include <memory>

class ChunkedGet;
class QIODevice;
class QNetworkRequest;

// What every fetched file shares: one GET's body written into the staged file a slice at a
// time (inflated when the server compressed it), a chunked body the framework cannot be trusted
// with fetched again by ChunkedGet, a trickle ended by TransferGuard, and the reply judged and
// committed through the DownloadSink. A subclass adds only what its kind of file needs, through
// the hooks below; left alone they add nothing, so the reply alone decides.
//
// The reply comes from the updater's own manager, so its reply gate sees it.
class HttpTransfer : public FileTransfer
{
    Q_OBJECT

public:
    ~HttpTransfer() override;

    void writeAvailable() final;
    QNetworkReply *reply() const final { return activeReply; }

protected:
    HttpTransfer(QNetworkAccessManager *network, const PlannedFile &file, StagedFile &output,
                 HashCache &cache, bool integrityRequired, QObject *parent);

    // True, with `result` set, when the file must not be fetched at all.
    bool refused();
    // False, with `result` set, when the target cannot be opened.
    bool openTarget();
    // Sends `request`; its body goes into the staged file from where the sink stands.
    void get(const QNetworkRequest &request);
    // The file cannot be saved any more: the transfer is cut short from the event loop.
    void stop(const Problem &problem);
    void restartFile();

    // The status line and headers of a reply that is read as it is (the decoder is set).
    virtual void statusArrived(int /*status*/) {}
    // The reply ended; true when the file is asked for again instead of judged now.
    virtual bool retry() { return false; }
    // The first byte of the file the running request asked for.
    virtual qint64 rangeStart() const { return 0; }
    // What a 304 means for this file: none when the file there may be kept.
    virtual Problem notModifiedProblem() const = 0;
    // A transfer the connection cut short leaves its partial file for the next start.
    virtual bool keepsForNextStart(int /*status*/, qint64 /*written*/) const { return false; }

    QNetworkAccessManager *network;
    StagedFile &outputFile;
    HashCache &hashCache;
    QPointer<QNetworkReply> activeReply;
    DownloadSink sink{outputFile, planned};
    Problem failure; // why the file cannot be saved, once that is clear
    // A body the server compressed.
    std::unique_ptr<ContentDecoder> decoder;

private:
    void endWhenTooSlow(QObject *transfer);
    void headersArrived();
    void readChunkedBodyItself();
    QIODevice *source() const;
    bool writeSlice(qint64 maxBytes);
    Problem writeDecoded(const QByteArray &coded);
    void replyFinished();
    void chunkedFinished();
    TransferOutcome judgeReply();
    TransferOutcome commit(const Problem &problem);

    bool integrityRequired;
    ChunkedGet *chunkedGet = nullptr;
    bool writeSliceArmed = false;
    bool headersSeen = false;
    qint64 codedBytes = 0; // a compressed body's bytes as they came
};
