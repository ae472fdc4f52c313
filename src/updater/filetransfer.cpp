#include "filetransfer.h"

#include "chunkedget.h"
#include "filehashjob.h"
#include "hashcache.h"
#include "localcopy.h"
#include "requests.h"
#include "resume.h"
#include "stagedfile.h"
#include "transferguard.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <limits>
#include <utility>

using UpdaterRequests::hasNoBody;
using UpdaterRequests::isRedirect;
using UpdaterRequests::statusOf;
using UpdaterRequests::validatorOf;

namespace {

using Kind = TransferOutcome::Kind;

// How long one readyRead() may write before the event loop gets its turn.
constexpr qint64 kWriteTurnMs = 10;
// A compressed body is read in small slices and written in pieces: a slice may inflate a
// thousandfold, and the file's bound is checked piece by piece.
constexpr qint64 kCodedSliceBytes = 64 * 1024;
constexpr int kDecodedPieceBytes = 256 * 1024;

} // namespace

FileTransfer::FileTransfer(QNetworkAccessManager *network, const PlannedFile &file,
                           StagedFile &output, HashCache &cache, bool integrityRequired,
                           QObject *parent)
    : QObject(parent), network(network), planned(file), outputFile(output), hashCache(cache),
      integrityRequired(integrityRequired)
{
}

FileTransfer::~FileTransfer()
{
    if (activeReply) {
        activeReply->disconnect(this);
        activeReply->deleteLater();
    }
    delete chunkedGet;
}

bool FileTransfer::start()
{
    if (planned.target.isEmpty()) {
        result = {Kind::NotOpened, QString()};
        return false;
    }
    const Problem refusal = planned.refusal(integrityRequired);
    if (refusal) {
        result = {Kind::Failed, refusal.reason};
        return false;
    }
    if (!planned.integrity)
        return fetch();
    auto *local = new LocalCopy(hashCache, this);
    const LocalCopy::Verdict verdict = local->check(planned.target, *planned.integrity);
    if (verdict != LocalCopy::Verdict::Hashing) {
        delete local;
        if (verdict == LocalCopy::Verdict::Fetch)
            return fetch();
        result = {Kind::Unchanged, QString()};
        return false;
    }
    connect(local, &LocalCopy::decided, this, [this, local](bool unchanged) {
        local->deleteLater();
        if (unchanged)
            end({Kind::Unchanged, QString()});
        else if (!fetch())
            end(result);
    });
    return true;
}

// False when the target could not be opened (the file is skipped as failed).
bool FileTransfer::fetch()
{
    if (planned.integrity && resumePartial())
        return true;
    if (!outputFile.open(planned.target)) {
        result = {Kind::NotOpened, QString()};
        return false;
    }
    beginTransfer();
    return true;
}

// A partial file kept by an earlier start for this URL is continued where it ended. Verifying
// the finished file needs the hash of what is there already: computed off the GUI thread.
bool FileTransfer::resumePartial()
{
    const std::optional<Resume::PartialInfo> info = Resume::openKept(
        outputFile, planned.target, planned.url.toEncoded(), planned.integrity->size);
    if (!info)
        return false;
    validator = info->validator;
    fullSize = info->total;
    const qint64 have = info->have;
    auto *job = new FileHashJob(Resume::partialPath(planned.target), have, this);
    connect(job, &FileHashJob::done, this, [this, job, have](bool complete) {
        job->deleteLater();
        sink.continueFrom(job->hash(), have);
        if (!complete)
            restartFile();
        beginTransfer();
    });
    job->start();
    return true;
}

void FileTransfer::restartFile()
{
    if (Problem problem = sink.restart())
        failure = problem;
}

// Asks for the file from the first byte not yet written (all of it on a first try).
void FileTransfer::beginTransfer()
{
    failure = {};
    headersSeen = false;
    decoder.reset();
    codedBytes = 0;
    resumeFrom = sink.written();
    activeReply = network->get(UpdaterRequests::fileRequest(planned.url, resumeFrom, validator));
    // Without a bound, a disk slower than the network would pile the file up in memory.
    activeReply->setReadBufferSize(UpdaterRequests::kReadBufferBytes);
    connect(activeReply, &QNetworkReply::metaDataChanged, this, &FileTransfer::headersArrived);
    connect(activeReply, &QNetworkReply::downloadProgress, this, &FileTransfer::progress);
    connect(activeReply, &QNetworkReply::finished, this, &FileTransfer::replyFinished);
    connect(activeReply, &QIODevice::readyRead, this, &FileTransfer::dataArrived);
    endWhenTooSlow(activeReply);
}

// A trickle that no honest server sends ends the transfer, with the rate it came at.
void FileTransfer::endWhenTooSlow(QObject *transfer)
{
    new TransferGuard(transfer, {}, [self = QPointer<FileTransfer>(this)](const QString &why) {
        if (self)
            self->stop({QStringLiteral("%1: %2").arg(self->planned.target, why)});
    });
}

void FileTransfer::headersArrived()
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
    if (!planned.integrity)
        return; // a plain GET: its reply alone decides
    if (resumeFrom > 0 && status == 206) {
        // Ranges of a compressed body are not ranges of the file.
        const QString problem =
            decoder
                ? QStringLiteral("the rest of the file came compressed")
                : Resume::rangeProblem(activeReply->rawHeader("Content-Range"),
                                       validatorOf(activeReply), resumeFrom, fullSize, validator);
        if (!problem.isEmpty())
            stop({planned.target + QStringLiteral(": ") + problem});
        return;
    }
    if (resumeFrom > 0 && status == 200) {
        // The server ignores Range, or its file changed since (If-Range): all of it again.
        qDebug().noquote()
            << QStringLiteral("The server sends all of %1 again; continuing from its first byte")
                   .arg(planned.target);
        restartFile();
        resumeFrom = 0;
    }
    // A compressed body is never continued, for the same reason.
    if (status == 200 && !decoder)
        keepPartialAcrossStarts();
}

// A big file is kept across starts once its size and validator are known (see Resume).
void FileTransfer::keepPartialAcrossStarts()
{
    validator = validatorOf(activeReply);
    if (!Resume::isValidator(validator))
        validator.clear(); // nothing to continue against
    const QVariant length = activeReply->header(QNetworkRequest::ContentLengthHeader);
    fullSize = length.isValid() ? length.toLongLong() : -1;
    if (fullSize == planned.integrity->size)
        Resume::keepAcrossStarts(outputFile, planned.target, planned.url.toEncoded(), validator,
                                 fullSize);
}

// Qt 5.15 can take a chunked body cut after a complete chunk for a whole one, or wait for the
// stall time-out: it drops the connection's error and leaves the reply running. Such a body is
// fetched again and read by the launcher, which knows a cut one. With a Content-Length beside
// it (no sound server sends both) the reply is read as it is and the length checked.
void FileTransfer::readChunkedBodyItself()
{
    QNetworkReply *reply = std::exchange(activeReply, nullptr);
    reply->disconnect(this);
    // Asked for again as it was (no Range: see below).
    const QNetworkRequest request = UpdaterRequests::fileRequest(planned.url);
    // Ended from the event loop, not inside its own signal: the reply's end still reaches the
    // reply gate like every other file reply's.
    QTimer::singleShot(0, reply, [reply] {
        reply->abort();
        reply->deleteLater();
    });
    restartFile();
    // Not continued with Range: a body without a length gives nothing to continue against.
    resumeFrom = 0;
    validator.clear();
    chunkedGet = new ChunkedGet(request, network, UpdaterRequests::transferTimeoutMs(),
                                UpdaterRequests::kReadBufferBytes, this);
    connect(chunkedGet, &ChunkedGet::downloadProgress, this, &FileTransfer::progress);
    connect(chunkedGet, &ChunkedGet::finished, this, &FileTransfer::chunkedFinished);
    connect(chunkedGet, &QIODevice::readyRead, this, &FileTransfer::dataArrived);
    endWhenTooSlow(chunkedGet);
    chunkedGet->start();
}

QIODevice *FileTransfer::source() const
{
    if (activeReply)
        return activeReply;
    return chunkedGet;
}

void FileTransfer::writeAvailable()
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
bool FileTransfer::writeSlice(qint64 maxBytes)
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

Problem FileTransfer::writeDecoded(const QByteArray &coded)
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

// The file cannot be saved any more: the transfer is cut short from the event loop.
void FileTransfer::stop(const Problem &problem)
{
    failure = problem;
    if (activeReply)
        QTimer::singleShot(0, activeReply, &QNetworkReply::abort);
    else if (chunkedGet)
        QTimer::singleShot(0, chunkedGet, &ChunkedGet::abortTransfer);
}

void FileTransfer::replyFinished()
{
    QNetworkReply *reply = activeReply;
    // Whatever the framework still holds belongs to the file.
    while (writeSlice(UpdaterRequests::kReadBufferBytes)) {
    }
    if (planned.integrity && retry())
        return;
    const TransferOutcome outcome = judgeReply();
    // Released with the transfer: the queue still reads it for its report.
    reply->disconnect(this);
    end(outcome);
}

// A transfer that the connection cut short goes on from where it stopped, after a pause, a few
// times per run. Only with a validator: without one, the rest could come from another file.
bool FileTransfer::retry()
{
    QNetworkReply *reply = activeReply;
    if (failure || validator.isEmpty() || retries >= Resume::kMaxRetries)
        return false;
    const int status = statusOf(reply);
    if (status == 416 && resumeFrom > 0) {
        // The server's file is shorter than what is here: it cannot continue it.
        restartFile();
    } else if (!Resume::worthContinuing(status, reply->error(), sink.written(), fullSize)) {
        return false;
    }
    ++retries;
    const int pause = Resume::backoffMs(retries);
    qDebug().noquote()
        << QStringLiteral(
               "Transfer of %1 broke off after %2 bytes; continuing in %3 ms (try %4 of %5)")
               .arg(planned.target)
               .arg(sink.written())
               .arg(pause)
               .arg(retries)
               .arg(Resume::kMaxRetries);
    reply->disconnect(this);
    reply->deleteLater();
    activeReply = nullptr;
    QTimer::singleShot(pause, this, &FileTransfer::beginTransfer);
    return true;
}

// Moves the new file over the target when the transfer brought all of it; otherwise drops it,
// so that the target keeps what it had (or stays missing).
TransferOutcome FileTransfer::judgeReply()
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
    // there. With the manifest's hash the file here was found to differ: keeping it would keep
    // it wrong. Without a file there is nothing to keep.
    if (!problem && status == 304) {
        if (planned.integrity)
            problem = {QStringLiteral("Not Modified, but the file here is not the one the "
                                      "manifest lists")};
        else if (!QFileInfo(outputFile.targetPath()).isFile())
            problem = {QStringLiteral("Not Modified, but there is no file to keep")};
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
    const qint64 wanted = announcedBytes > std::numeric_limits<qint64>::max() - resumeFrom
                              ? std::numeric_limits<qint64>::max()
                              : announcedBytes + resumeFrom;
    const qint64 written = decoder ? codedBytes : sink.written();
    if (!problem && announced.isValid() && !hasNoBody(status) && wanted != written)
        problem = {QStringLiteral("Transfer ended after %1 of %2 bytes").arg(written).arg(wanted)};
    if (!problem && decoder && !decoder->ended() && !hasNoBody(status))
        problem = {QStringLiteral("The compressed body of %1 ended early").arg(planned.target)};
    // A partial file that the connection cut short is kept for the next start to continue.
    if (problem && outputFile.isPersistent() && !failure &&
        Resume::worthContinuing(status, activeReply->error(), written, fullSize) &&
        written < fullSize) {
        outputFile.release();
        return {Kind::KeptToContinue, problem.reason};
    }
    return commit(problem);
}

void FileTransfer::chunkedFinished()
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
TransferOutcome FileTransfer::commit(const Problem &problem)
{
    const Problem unsaved = sink.commit(problem, hashCache);
    return unsaved ? TransferOutcome{Kind::Failed, unsaved.reason}
                   : TransferOutcome{Kind::Saved, QString()};
}

void FileTransfer::end(const TransferOutcome &outcome)
{
    result = outcome;
    emit finished();
}
