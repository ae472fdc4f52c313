#include "httptransfer.h"

#include "chunkedget.h"
#include "hashcache.h"
#include "requests.h"
#include "stagedfile.h"
#include "transferguard.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <limits>
#include <utility>

using UpdaterRequests::hasNoBody;
using UpdaterRequests::isRedirect;
using UpdaterRequests::statusOf;

namespace {

using Kind = TransferOutcome::Kind;

// How long one readyRead() may write before the event loop gets its turn.
constexpr qint64 kWriteTurnMs = 10;
// A compressed body is read in small slices and written in pieces: a slice may inflate a
// thousandfold, and the file's bound is checked piece by piece.
constexpr qint64 kCodedSliceBytes = 64 * 1024;
constexpr int kDecodedPieceBytes = 256 * 1024;

} // namespace

HttpTransfer::HttpTransfer(QNetworkAccessManager *network, const PlannedFile &file,
                           StagedFile &output, HashCache &cache, bool integrityRequired,
                           QObject *parent)
    : FileTransfer(file, parent), network(network), outputFile(output), hashCache(cache),
      integrityRequired(integrityRequired)
{
}

HttpTransfer::~HttpTransfer()
{
    if (activeReply) {
        activeReply->disconnect(this);
        activeReply->deleteLater();
    }
    delete chunkedGet;
}

bool HttpTransfer::refused()
{
    if (planned.target.isEmpty()) {
        result = {Kind::NotOpened, QString()};
        return true;
    }
    const Problem refusal = planned.refusal(integrityRequired);
    if (refusal)
        result = {Kind::Failed, refusal.reason};
    return bool(refusal);
}

bool HttpTransfer::openTarget()
{
    if (outputFile.open(planned.target))
        return true;
    result = {Kind::NotOpened, QString()};
    return false;
}

void HttpTransfer::restartFile()
{
    if (Problem problem = sink.restart())
        failure = problem;
}

void HttpTransfer::get(const QNetworkRequest &request)
{
    failure = {};
    headersSeen = false;
    decoder.reset();
    codedBytes = 0;
    activeReply = network->get(request);
    // Without a bound, a disk slower than the network would pile the file up in memory.
    activeReply->setReadBufferSize(UpdaterRequests::kReadBufferBytes);
    connect(activeReply, &QNetworkReply::metaDataChanged, this, &HttpTransfer::headersArrived);
    connect(activeReply, &QNetworkReply::downloadProgress, this, &FileTransfer::progress);
    connect(activeReply, &QNetworkReply::finished, this, &HttpTransfer::replyFinished);
    connect(activeReply, &QIODevice::readyRead, this, &FileTransfer::dataArrived);
    endWhenTooSlow(activeReply);
}

// A trickle that no honest server sends ends the transfer, with the rate it came at.
void HttpTransfer::endWhenTooSlow(QObject *transfer)
{
    new TransferGuard(transfer, {}, [self = QPointer<HttpTransfer>(this)](const QString &why) {
        if (self)
            self->stop({QStringLiteral("%1: %2").arg(self->planned.target, why)});
    });
}

void HttpTransfer::headersArrived()
{
    const int status = activeReply ? statusOf(activeReply) : 0;
    if (headersSeen || status == 0)
        return;
    headersSeen = true;
    if (status >= 200 && status <= 299 &&
        activeReply->rawHeader("Transfer-Encoding").toLower().contains("chunked") &&
        !activeReply->header(QNetworkRequest::ContentLengthHeader).isValid()) {
        readChunkedBodyItself();
        return;
    }
    decoder = ContentDecoder::forCoding(activeReply->rawHeader("Content-Encoding"));
    statusArrived(status);
}

// Qt 5.15 can take a chunked body cut after a complete chunk for a whole one, or wait for the
// stall time-out: it drops the connection's error and leaves the reply running. Such a body is
// fetched again and read by the launcher, which knows a cut one. With a Content-Length beside
// it (no sound server sends both) the reply is read as it is and the length checked.
void HttpTransfer::readChunkedBodyItself()
{
    QNetworkReply *reply = std::exchange(activeReply, nullptr);
    reply->disconnect(this);
    // Asked for again as it was, without Range: a body without a length gives nothing to
    // continue against.
    const QNetworkRequest request = UpdaterRequests::fileRequest(planned.url);
    // Ended from the event loop, not inside its own signal: the reply's end still reaches the
    // reply gate like every other file reply's.
    QTimer::singleShot(0, reply, [reply] {
        reply->abort();
        reply->deleteLater();
    });
    restartFile();
    chunkedGet = new ChunkedGet(request, network, UpdaterRequests::transferTimeoutMs(),
                                UpdaterRequests::kReadBufferBytes, this);
    connect(chunkedGet, &ChunkedGet::downloadProgress, this, &FileTransfer::progress);
    connect(chunkedGet, &ChunkedGet::finished, this, &HttpTransfer::chunkedFinished);
    connect(chunkedGet, &QIODevice::readyRead, this, &FileTransfer::dataArrived);
    endWhenTooSlow(chunkedGet);
    chunkedGet->start();
}

QIODevice *HttpTransfer::source() const
{
    if (activeReply)
        return activeReply;
    return chunkedGet;
}

void HttpTransfer::writeAvailable()
{
    QIODevice *from = source();
    if (!from)
        return;
    // The framework can hold far more than its read buffer (it reads ahead without bound until
    // its network thread has taken the bound in). Write a buffer's worth at a time for a few
    // milliseconds, then let the window have its turn and go on from the event loop.
    QElapsedTimer turn;
    turn.start();
    while (writeSlice(UpdaterRequests::kReadBufferBytes) && turn.elapsed() < kWriteTurnMs) {
    }
    if (from->bytesAvailable() > 0 && !writeSliceArmed) {
        writeSliceArmed = true;
        QTimer::singleShot(0, this, [this] {
            writeSliceArmed = false;
            writeAvailable();
        });
    }
}

// Writes up to maxBytes of what the source holds; false when there was nothing to read. After a
// failed write the rest is only drained, and the transfer is cut short from the event loop: the
// file cannot be saved any more.
bool HttpTransfer::writeSlice(qint64 maxBytes)
{
    QIODevice *from = source();
    if (!from || !from->isOpen())
        return false; // aborted: nothing more to read
    // Sized to what is there: read(maxBytes) would allocate maxBytes for every small chunk.
    const qint64 available = from->bytesAvailable();
    if (available <= 0)
        return false;
    const QByteArray chunk = from->read(qMin(decoder ? kCodedSliceBytes : maxBytes, available));
    if (failure)
        return true;
    if (Problem problem = decoder ? writeDecoded(chunk) : sink.write(chunk))
        stop(problem);
    return true;
}

Problem HttpTransfer::writeDecoded(const QByteArray &coded)
{
    codedBytes += coded.size();
    decoder->feed(coded);
    for (QByteArray piece; !(piece = decoder->take(kDecodedPieceBytes)).isEmpty();) {
        if (Problem problem = sink.write(piece))
            return problem;
    }
    if (!decoder->problem().isEmpty())
        return {planned.target + QStringLiteral(": ") + decoder->problem()};
    return {};
}

void HttpTransfer::stop(const Problem &problem)
{
    failure = problem;
    if (activeReply)
        QTimer::singleShot(0, activeReply, &QNetworkReply::abort);
    else if (chunkedGet)
        QTimer::singleShot(0, chunkedGet, &ChunkedGet::abortTransfer);
}

void HttpTransfer::replyFinished()
{
    QNetworkReply *reply = activeReply;
    // Whatever the framework still holds belongs to the file.
    while (writeSlice(UpdaterRequests::kReadBufferBytes)) {
    }
    if (retry())
        return;
    const TransferOutcome outcome = judgeReply();
    // Released with the transfer: the queue still reads it for its report.
    reply->disconnect(this);
    end(outcome);
}

// Moves the new file over the target when the transfer brought all of it; otherwise drops it,
// so that the target keeps what it had (or stays missing).
TransferOutcome HttpTransfer::judgeReply()
{
    const int status = statusOf(activeReply);
    Problem problem = failure;
    if (!problem && activeReply->error() != QNetworkReply::NoError)
        problem = {activeReply->errorString()};
    if (!problem && isRedirect(status)) {
        sink.discard();
        return {Kind::Redirected, QString()};
    }
    // Nothing conditional was asked for: "not modified" can only mean keeping the file that is
    // there, when that may be kept.
    if (!problem && status == 304) {
        problem = notModifiedProblem();
        sink.discard();
        return problem ? TransferOutcome{Kind::Failed, problem.reason}
                       : TransferOutcome{Kind::NotModified, QString()};
    }
    // The connection can close before Content-Length bytes came without the reply saying so.
    // A continued transfer announces only the rest.
    // For a compressed body it counts the bytes as they came, and the body must reach its end.
    const QVariant announced = activeReply->header(QNetworkRequest::ContentLengthHeader);
    // A hostile length must not overflow the sum: past what a file can hold it is that much.
    const qint64 announcedBytes = announced.toLongLong();
    const qint64 from = rangeStart();
    const qint64 wanted = announcedBytes > std::numeric_limits<qint64>::max() - from
                              ? std::numeric_limits<qint64>::max()
                              : announcedBytes + from;
    const qint64 written = decoder ? codedBytes : sink.written();
    if (!problem && announced.isValid() && !hasNoBody(status) && wanted != written)
        problem = {QStringLiteral("Transfer ended after %1 of %2 bytes").arg(written).arg(wanted)};
    if (!problem && decoder && !decoder->ended() && !hasNoBody(status))
        problem = {QStringLiteral("The compressed body of %1 ended early").arg(planned.target)};
    if (problem && !failure && keepsForNextStart(status, written)) {
        outputFile.release();
        return {Kind::KeptToContinue, problem.reason};
    }
    return commit(problem);
}

void HttpTransfer::chunkedFinished()
{
    while (writeSlice(UpdaterRequests::kReadBufferBytes)) {
    }
    const Problem problem = failure ? failure : Problem{chunkedGet->problem()};
    chunkedGet->disconnect(this);
    chunkedGet->deleteLater();
    chunkedGet = nullptr;
    end(commit(problem));
}

// The file goes over the target when nothing is wrong with it; otherwise it and any partial
// file are dropped.
TransferOutcome HttpTransfer::commit(const Problem &problem)
{
    const Problem unsaved = sink.commit(problem, hashCache);
    return unsaved ? TransferOutcome{Kind::Failed, unsaved.reason}
                   : TransferOutcome{Kind::Saved, QString()};
}
