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
// A host that serves a file this long has shown its speed, and is looked at this often.
constexpr qint64 kProbeMs = 250;
constexpr int kPaceMs = 50;
// Switches of one file between hosts, each for a failure or for speed.
constexpr int kMaxSwitchesPerHost = 2 * HostPool::kMaxErrors;
} // namespace

VerifiedTransfer::VerifiedTransfer(QNetworkAccessManager *network, const PlannedFile &file,
                                   StagedFile &output, HashCache &cache, HostPool &hosts,
                                   bool integrityRequired, QObject *parent)
    : HttpTransfer(network, file, output, cache, integrityRequired, parent), hosts(hosts)
{
    pace.setInterval(kPaceMs);
    connect(&pace, &QTimer::timeout, this, &VerifiedTransfer::checkPace);
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
    if (hasMirrors() && !firstHost())
        return false;
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
    if (!hasMirrors()) {
        get(UpdaterRequests::fileRequest(planned.url, resumeFrom, validator));
        return;
    }
    // Another host's validator means nothing here: the hash proves what is continued.
    route.since.start();
    route.startBytes = resumeFrom;
    get(UpdaterRequests::fileRequest(route.current, resumeFrom, QByteArray()));
    pace.start();
}

void VerifiedTransfer::statusArrived(int status)
{
    if (hasMirrors() && (status == 200 || status == 206) && !decoder) {
        // A host whose file has another size cannot serve the listed one.
        const QVariant length = activeReply->header(QNetworkRequest::ContentLengthHeader);
        const qint64 size = planned.integrity->size;
        if (status == 200 && length.isValid() && length.toLongLong() != size) {
            stop({QStringLiteral("%1 has %2 bytes there, the manifest says %3")
                      .arg(planned.target)
                      .arg(length.toLongLong())
                      .arg(size),
                  Problem::Cause::WrongBytes});
            return;
        }
        fullSize = size;
    }
    if (resumeFrom > 0 && status == 206) {
        // Ranges of a compressed body are not ranges of the file. Between hosts the file's
        // hash, not a validator, proves what is continued.
        const QByteArray range = activeReply->rawHeader("Content-Range");
        const QString problem = decoder ? QStringLiteral("the rest of the file came compressed")
                                : hasMirrors()
                                    ? Resume::rangeProblem(range, resumeFrom, fullSize)
                                    : Resume::rangeProblem(range, validatorOf(activeReply),
                                                           resumeFrom, fullSize, validator);
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
        route.startBytes = 0;
        route.spliced = false;
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
    if (hasMirrors())
        return hostEnded();
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

QVector<QUrl> VerifiedTransfer::candidates() const
{
    return QVector<QUrl>{planned.url} + planned.mirrors;
}

// False, with `result` set, when every host has been given up in this run.
bool VerifiedTransfer::firstHost()
{
    const std::optional<QUrl> first = hosts.pick(candidates(), route.passed);
    if (!first) {
        result = {Kind::Failed, QStringLiteral("No host could serve %1: %2")
                                    .arg(planned.target, hosts.lastFailures(candidates()))};
        return false;
    }
    route.current = *first;
    route.exploring = !hosts.measured(*first);
    return true;
}

// The reply from the current host ended. A whole, listed file is saved; otherwise the host is
// blamed and the file goes on elsewhere. False when it is to be judged now.
bool VerifiedTransfer::hostEnded()
{
    pace.stop();
    const qint64 ms = route.since.elapsed();
    const qint64 got = sink.written() - route.startBytes;
    if (failure && failure.cause == Problem::Cause::Here)
        return false; // the disk, not the host: no other host helps
    Problem why = failure;
    const int status = statusOf(activeReply);
    if (!why && status != 0 && status != 200 && status != 206)
        why = {QStringLiteral("HTTP status %1").arg(status)};
    if (!why && activeReply->error() != QNetworkReply::NoError)
        why = {activeReply->errorString()};
    if (!why && sink.written() != planned.integrity->size)
        why = {QStringLiteral("the transfer ended after %1 of %2 bytes")
                   .arg(sink.written())
                   .arg(planned.integrity->size)};
    if (!why) {
        if (const Problem content = sink.verify(); content.cause != Problem::Cause::WrongBytes) {
            if (!content)
                hosts.served(route.current, got, ms);
            return false; // judged: saved, or a fault here
        }
        why = {QStringLiteral("not the bytes the manifest lists"), Problem::Cause::WrongBytes};
    }
    QString reason = why.reason;
    if (why.cause == Problem::Cause::WrongBytes) {
        // Bytes from one host alone convict it; pieced together, the culprit is unknown.
        if (!route.spliced || failure) {
            hosts.quarantine(route.current, reason);
            reason += QStringLiteral("; not used again in this run");
        }
        route.spliced = false;
        restartFile();
        if (failure && failure.cause == Problem::Cause::Here)
            return false;
    } else {
        if (got > 0)
            hosts.served(route.current, got, ms);
        if (hosts.failed(route.current, reason) == HostPool::Standing::Skipped)
            reason +=
                QStringLiteral("; %1 errors, not used again in this run").arg(HostPool::kMaxErrors);
    }
    route.passed.insert(HostPool::hostOf(route.current));
    std::optional<QUrl> next = hosts.pick(candidates(), route.passed);
    int pause = 0;
    if (!next) {
        // Every host was given its turn; those still usable may try again, after a pause.
        route.passed.clear();
        next = hosts.pick(candidates(), route.passed);
        pause = Resume::backoffMs(++route.rounds);
    }
    if (!next || route.switches >= kMaxSwitchesPerHost * candidates().size()) {
        failure = {QStringLiteral("No host could serve %1: %2")
                       .arg(planned.target, hosts.lastFailures(candidates()))};
        return false;
    }
    return moveTo(*next, reason, pause);
}

// A host that serves the file far slower than another did (or, while the hosts are being
// learnt, one not yet tried) hands it over, with what has arrived.
void VerifiedTransfer::checkPace()
{
    const qint64 ms = route.since.elapsed();
    if (!activeReply || ms < kProbeMs)
        return;
    const qint64 got = sink.written() - route.startBytes;
    QSet<QString> passed = route.passed;
    passed.insert(HostPool::hostOf(route.current));
    const std::optional<QUrl> next =
        hosts.fasterThan(got * 1000.0 / ms, route.exploring, candidates(), passed);
    if (!next || route.switches >= kMaxSwitchesPerHost * candidates().size())
        return;
    pace.stop();
    hosts.served(route.current, got, ms);
    dropReply();
    moveTo(*next,
           route.exploring
               ? QStringLiteral("%1 bytes/s; trying the next host").arg(got * 1000 / ms)
               : QStringLiteral("%1 bytes/s, another host served faster").arg(got * 1000 / ms));
}

bool VerifiedTransfer::moveTo(const QUrl &next, const QString &why, int pauseMs)
{
    qDebug().noquote() << QStringLiteral("Fetching %1 from %2 instead of %3: %4")
                              .arg(planned.target, HostPool::hostOf(next),
                                   HostPool::hostOf(route.current), why);
    ++route.switches;
    if (sink.written() > 0)
        route.spliced = true;
    route.current = next;
    route.exploring = !hosts.measured(next);
    dropReply();
    QTimer::singleShot(pauseMs, this, &VerifiedTransfer::beginTransfer);
    return true;
}

// The current request is over for this file: nothing more is read from it.
void VerifiedTransfer::dropReply()
{
    if (!activeReply)
        return;
    QNetworkReply *reply = activeReply;
    activeReply = nullptr;
    reply->disconnect(this);
    if (reply->isRunning())
        reply->abort();
    reply->deleteLater();
}
