#include "verifiedtransfer.h"

#include "filehashjob.h"
#include "localcopy.h"
#include "requests.h"
#include "resume.h"
#include "stagedfile.h"

#include <QDebug>
#include <QNetworkReply>
#include <QTimer>

using UpdaterRequests::statusOf;
using UpdaterRequests::validatorOf;

namespace {
using Kind = TransferOutcome::Kind;
} // namespace

VerifiedTransfer::VerifiedTransfer(QNetworkAccessManager *network, const PlannedFile &file,
                                   StagedFile &output, HashCache &cache, bool integrityRequired,
                                   QObject *parent)
    : HttpTransfer(network, file, output, cache, integrityRequired, parent)
{
}

bool VerifiedTransfer::start()
{
    if (refused())
        return false;
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
bool VerifiedTransfer::fetch()
{
    if (resumePartial())
        return true;
    if (!openTarget())
        return false;
    beginTransfer();
    return true;
}

// A partial file kept by an earlier start for this URL is continued where it ended. Verifying
// the finished file needs the hash of what is there already: computed off the GUI thread.
bool VerifiedTransfer::resumePartial()
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

// Asks for the file from the first byte not yet written (all of it on a first try).
void VerifiedTransfer::beginTransfer()
{
    resumeFrom = sink.written();
    get(UpdaterRequests::fileRequest(planned.url, resumeFrom, validator));
}

void VerifiedTransfer::statusArrived(int status)
{
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
void VerifiedTransfer::keepPartialAcrossStarts()
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

// A transfer that the connection cut short goes on from where it stopped, after a pause, a few
// times per run. Only with a validator: without one, the rest could come from another file.
bool VerifiedTransfer::retry()
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
    QTimer::singleShot(pause, this, &VerifiedTransfer::beginTransfer);
    return true;
}

// The file here was found to differ from the listed one: keeping it would keep it wrong.
Problem VerifiedTransfer::notModifiedProblem() const
{
    return {QStringLiteral("Not Modified, but the file here is not the one the manifest lists")};
}

// A partial file that the connection cut short is kept for the next start to continue.
bool VerifiedTransfer::keepsForNextStart(int status, qint64 written) const
{
    return outputFile.isPersistent() &&
           Resume::worthContinuing(status, activeReply->error(), written, fullSize) &&
           written < fullSize;
}
