#include "appconfig.h"

#include "chunkedget.h"
#include "config/config.h"
#include "diskflush.h"
#include "requests.h"
#include "resume.h"
#include "targetpath.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSharedPointer>
#include <QTextStream>
#include <QThread>
#include <QTimer>

namespace {

const QString kLocaleGroup = QStringLiteral("WClientLocale");
const QString kWotlk = QStringLiteral("WOTLK");
// How long one readyRead() may write before the event loop gets its turn.
constexpr qint64 kWriteTurnMs = 10;

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 305 || status == 307 ||
           status == 308;
}

int statusOf(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// Qt 5 writes a text stream in the system's 8-bit encoding, Qt 6 in UTF-8: the redirect report
// keeps Qt 5's (on Windows the ANSI code page; the same UTF-8 elsewhere).
void useSystemEncoding(QTextStream &stream)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    stream.setEncoding(QStringConverter::System);
#else
    Q_UNUSED(stream)
#endif
}

// Statuses whose reply never has a body, whatever Content-Length says.
bool hasNoBody(int status)
{
    return (status >= 100 && status < 200) || status == 204 || status == 304;
}

} // namespace

void AppConfig::append()
{
    recheckRequested = 0;
    const QStringList keys = fileLocales.keys();
    collectedSinceAppend.clear();
    bool accepted = false;
    // Read once per call, not once per file: nothing writes config.conf meanwhile, and a
    // QSettings pass for each of thousands of files would hold up the window.
    const QString clientDir = Config::ReadSetting(QStringLiteral("ClientDir"), kWotlk);
    QHash<QString, QString> flags;
    for (const QString &urlText : keys) {
        const QString locale = fileLocales.value(urlText);
        auto flag = flags.constFind(locale);
        if (flag == flags.constEnd())
            flag = flags.insert(locale, Config::ReadSetting(kLocaleGroup, locale));
        if (*flag != QLatin1String("1"))
            continue;
        const DownloadTarget target = downloadTarget(clientDir, locale, urlText);
        // One URL form for the lookup key and the queue entry, so that the lookup cannot miss.
        const QUrl url(urlText, QUrl::TolerantMode);
        // Only files from a web server: file: or qrc: would copy local files into the game.
        const bool fetchable =
            url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
        targetPaths.insert(url, target.writable && fetchable ? target.path : QString());
        const auto integrity = manifestIntegrity.constFind(urlText);
        if (integrity != manifestIntegrity.constEnd())
            expectedOf.insert(url, *integrity);
        else
            expectedOf.remove(url);
        qDebug() << target.path;
        qDebug() << "Target - " << url;
        accepted = true;
        if (waitingUrls.contains(url))
            continue; // it is fetched once, after this reading
        pendingUrls.append(url);
        waitingUrls.insert(url);
        ++queuedCount;
    }
    if (accepted)
        runVersion = onlineVersion;

    // One transfer at a time: a start is armed only when no transfer runs and none is armed;
    // a running transfer starts the next one itself when it ends.
    if (!pendingUrls.isEmpty() && !busy()) {
        startPending = true;
        QTimer::singleShot(0, this, SLOT(startNextDownload()));
    } else if (pendingUrls.isEmpty() && !busy()) {
        QTimer::singleShot(0, this, SIGNAL(finished()));
    }
}

bool AppConfig::busy() const
{
    return transferRunning() || startPending || flushThread != nullptr || hashThread != nullptr ||
           retryArmed;
}

void AppConfig::startNextDownload()
{
    startPending = false;
    if (transferRunning() || flushThread || hashThread || retryArmed)
        return; // the running transfer, hash or flush goes on with the queue when it ends
    // A loop rather than the call to itself after a failed open: a long run of unopenable
    // targets must not exhaust the stack.
    for (;;) {
        qDebug() << "Checking download queue...";
        if (pendingUrls.isEmpty()) {
            finishRun();
            return;
        }
        const QUrl url = pendingUrls.takeFirst();
        waitingUrls.remove(url);
        const QString path = targetPaths.value(url);
        activeFileName = path;
        switch (decide(url, path)) {
        case Next::Hashing:
            return;
        case Next::Unchanged:
            countUnchanged(path);
            continue;
        case Next::Failed:
            continue;
        case Next::Fetch:
            if (fetch(url, path))
                return;
            continue;
        }
    }
}

// With the manifest's size and SHA-256 for the file, a target that already holds exactly that
// is not fetched again. Its hash comes from the cache while its size and time are unchanged;
// otherwise the file is hashed on a thread of its own and the queue goes on from there.
AppConfig::Next AppConfig::decide(const QUrl &url, const QString &path)
{
    const auto expected = expectedOf.constFind(url);
    if (expected == expectedOf.constEnd() || path.isEmpty())
        return Next::Fetch;
    if (!expected->isValid()) {
        qDebug() << "Error: " << integrityProblem(url);
        return Next::Failed;
    }
    const FileStamp stamp = FileStamp::of(path);
    if (!stamp.exists || stamp.size != expected->size)
        return Next::Fetch;
    const QByteArray known = hashCache.lookup(path, stamp);
    if (!known.isEmpty())
        return known == expected->sha256 ? Next::Unchanged : Next::Fetch;

    auto hash = QSharedPointer<QByteArray>::create();
    hashThread = QThread::create([path, hash] { *hash = Sha256::ofFile(path); });
    connect(hashThread, &QThread::finished, this, [this, url, path, stamp, hash] {
        hashThread->deleteLater();
        hashThread = nullptr;
        fileHashed(url, path, stamp, *hash);
    });
    hashThread->start();
    return Next::Hashing;
}

void AppConfig::fileHashed(const QUrl &url, const QString &path, const FileStamp &stamp,
                           const QByteArray &sha256)
{
    // Changed while it was read: the hash describes neither version.
    const bool steady = FileStamp::of(path) == stamp;
    if (steady)
        hashCache.remember(path, stamp, sha256);
    if (steady && sha256 == expectedOf.value(url).sha256)
        countUnchanged(path);
    else if (fetch(url, path))
        return;
    startNextDownload();
}

// False when the target could not be opened (the file is skipped as failed).
bool AppConfig::fetch(const QUrl &url, const QString &path)
{
    activeFileName = path;
    retries = 0;
    fullSize = -1;
    validator.clear();
    bytesWritten = 0;
    receivedHash.reset();
    const auto expected = expectedOf.constFind(url);
    expectedSize = expected != expectedOf.constEnd() ? expected->size : -1;
    if (!path.isEmpty() && resumePartial(url, path))
        return true;
    if (openTarget(path)) {
        beginTransfer(url);
        return true;
    }
    qDebug() << "Problem opening save file" << url.toEncoded() << " for download";
    return false;
}

// A partial file kept by an earlier start for this URL is continued where it ended. Verifying
// the finished file needs the hash of what is there already: computed off the GUI thread.
bool AppConfig::resumePartial(const QUrl &url, const QString &path)
{
    const std::optional<Resume::PartialInfo> info = Resume::readInfo(path);
    const QString partial = Resume::partialPath(path);
    const qint64 have = QFileInfo(partial).size();
    if (!info || !QFileInfo(partial).isFile()) {
        Resume::forget(path); // half a pair is of no use
        return false;
    }
    if (info->url != QString::fromLatin1(url.toEncoded()) ||
        (expectedSize >= 0 && info->total != expectedSize) || have >= info->total) {
        qDebug().noquote() << QStringLiteral("Not resuming %1: its partial file of %2 bytes does "
                                             "not belong to this file of %3 bytes")
                                  .arg(path)
                                  .arg(have)
                                  .arg(info->total);
        Resume::forget(path);
        return false;
    }
    if (!outputFile.openPartial(path, partial)) {
        Resume::forget(path);
        return false;
    }
    validator = info->validator;
    fullSize = info->total;
    bytesWritten = have;
    qDebug().noquote()
        << QStringLiteral("Resuming %1 at %2 of %3 bytes").arg(path).arg(have).arg(info->total);
    if (expectedSize < 0) {
        beginTransfer(url);
        return true;
    }
    auto hash = QSharedPointer<Sha256>::create();
    auto ok = QSharedPointer<bool>::create(false);
    hashThread = QThread::create([partial, have, hash, ok] { *ok = hash->addFile(partial, have); });
    connect(hashThread, &QThread::finished, this, [this, url, hash, ok] {
        hashThread->deleteLater();
        hashThread = nullptr;
        receivedHash.swap(*hash);
        if (!*ok && outputFile.restart()) {
            bytesWritten = 0;
            receivedHash.reset();
        }
        beginTransfer(url);
    });
    hashThread->start();
    return true;
}

void AppConfig::countUnchanged(const QString &path)
{
    qDebug().noquote() << QStringLiteral("Unchanged, not fetched: %1").arg(path);
    ++savedCount;
    // It may come from a run that failed, whose files were never flushed.
    unflushedFiles << path;
}

QString AppConfig::integrityProblem(const QUrl &url) const
{
    return QStringLiteral("the manifest's size and SHA-256 for %1 are unusable (%2); "
                          "the file is not fetched")
        .arg(url.toString(), expectedOf.value(url).problem);
}

bool AppConfig::openTarget(const QString &path)
{
    if (path.isEmpty())
        return false; // no target, or one that must not be written
    return outputFile.open(path);
}

// Asks for the file from the first byte not yet written (all of it on a first try).
void AppConfig::beginTransfer(const QUrl &url)
{
    activeUrl = url;
    writeFailed = false;
    transferProblem.clear();
    headersSeen = false;
    resumeFrom = bytesWritten;
    QNetworkRequest request = UpdaterRequests::fileRequest(url);
    if (resumeFrom > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(resumeFrom) + '-');
        request.setRawHeader("If-Range", validator);
    }
    activeReply = network->get(request);
    connect(activeReply, &QNetworkReply::metaDataChanged, this, &AppConfig::downloadHeaders);
    // Without a bound, a disk slower than the network would pile the file up in memory.
    activeReply->setReadBufferSize(UpdaterRequests::kReadBufferBytes);
    connect(activeReply, SIGNAL(downloadProgress(qint64, qint64)), this,
            SLOT(downloadProgress(qint64, qint64)));
    connect(activeReply, SIGNAL(finished()), this, SLOT(downloadFinished()));
    connect(activeReply, SIGNAL(readyRead()), this, SLOT(downloadReadyRead()));
    connect(activeReply, &QNetworkReply::metaDataChanged, this, &AppConfig::readChunkedBodyItself);
}

// Qt 5.15 can take a chunked body cut after a complete chunk for a whole one, or wait for the
// stall time-out: it drops the connection's error and leaves the reply running. Such a body is
// fetched again and read by the launcher, which knows a cut one.
void AppConfig::readChunkedBodyItself()
{
    QNetworkReply *reply = activeReply;
    if (!reply)
        return;
    const int status = statusOf(reply);
    // With a Content-Length beside it (no sound server sends both) the length is checked.
    if (status < 200 || status > 299 ||
        !reply->rawHeader("Transfer-Encoding").toLower().contains("chunked") ||
        reply->header(QNetworkRequest::ContentLengthHeader).isValid())
        return;
    const QUrl url = reply->request().url();
    // Deleting the reply ends its transfer without the error that abort() would add.
    reply->disconnect(this);
    reply->deleteLater();
    activeReply = nullptr;
    // Start the file afresh: whatever came through the reply is dropped.
    if (!outputFile.open(activeFileName)) {
        writeFailed = true;
        transferProblem = outputFile.errorString();
    }
    bytesWritten = 0;
    receivedHash.reset();
    // Not continued with Range: a body without a length gives nothing to continue against.
    resumeFrom = 0;
    validator.clear();
    chunkedGet = new ChunkedGet(url, network, UpdaterRequests::transferTimeoutMs(),
                                UpdaterRequests::kReadBufferBytes, this);
    connect(chunkedGet, SIGNAL(downloadProgress(qint64, qint64)), this,
            SLOT(downloadProgress(qint64, qint64)));
    connect(chunkedGet, SIGNAL(finished()), this, SLOT(downloadFinished()));
    connect(chunkedGet, SIGNAL(readyRead()), this, SLOT(downloadReadyRead()));
    chunkedGet->start();
}

QIODevice *AppConfig::transferSource() const
{
    if (activeReply)
        return activeReply;
    return chunkedGet;
}

// The headers tell whether a Range request is answered where it was asked, and whether the
// file is big enough to keep its partial file across starts.
void AppConfig::downloadHeaders()
{
    const int status = activeReply ? statusOf(activeReply) : 0;
    if (headersSeen || status == 0)
        return;
    headersSeen = true;
    if (resumeFrom > 0 && status == 206) {
        const QByteArray header = activeReply->rawHeader("Content-Range");
        const std::optional<Resume::ContentRange> range = Resume::parseContentRange(header);
        if (!range || range->first != resumeFrom || (fullSize >= 0 && range->total != fullSize))
            failTransfer(QStringLiteral("%1: the server answered the request for bytes from %2 "
                                        "of %3 with the range \"%4\"")
                             .arg(activeFileName)
                             .arg(resumeFrom)
                             .arg(fullSize)
                             .arg(QString::fromLatin1(header)));
        else
            fullSize = range->total;
        return;
    }
    if (resumeFrom > 0 && status == 200) {
        // The server ignores Range, or its file changed since (If-Range): all of it again.
        qDebug().noquote()
            << QStringLiteral("The server sends all of %1 again; continuing from its first byte")
                   .arg(activeFileName);
        if (!outputFile.restart()) {
            failTransfer(outputFile.errorString());
            return;
        }
        bytesWritten = 0;
        resumeFrom = 0;
        receivedHash.reset();
    }
    if (status != 200)
        return;
    const QByteArray etag = activeReply->rawHeader("ETag");
    validator = etag.isEmpty() ? activeReply->rawHeader("Last-Modified") : etag;
    const QVariant length = activeReply->header(QNetworkRequest::ContentLengthHeader);
    fullSize = length.isValid() ? length.toLongLong() : -1;
    if (fullSize < Resume::kKeepAcrossStartsBytes || validator.isEmpty())
        return;
    // Under a fixed name from now on, so that even a killed launcher leaves it to continue.
    if (outputFile.isPersistent() || outputFile.makePersistent(Resume::partialPath(activeFileName)))
        Resume::writeInfo(activeFileName,
                          {QString::fromLatin1(activeUrl.toEncoded()), validator, fullSize});
}

void AppConfig::failTransfer(const QString &problem)
{
    transferProblem = problem;
    writeFailed = true;
    QTimer::singleShot(0, activeReply, &QNetworkReply::abort);
}

// A transfer that the connection cut short goes on from where it stopped, after a pause, a few
// times per run. Only with a validator: without one, the rest could come from another file.
bool AppConfig::retryTransfer(QNetworkReply *reply)
{
    if (writeFailed || validator.isEmpty() || retries >= Resume::kMaxRetries)
        return false;
    const int status = statusOf(reply);
    if (status == 416 && resumeFrom > 0) {
        // The server's file is shorter than what is here: it cannot continue it.
        if (!outputFile.restart())
            return false;
        bytesWritten = 0;
        receivedHash.reset();
    } else if ((status != 0 && status != 200 && status != 206) ||
               !Resume::isTransportError(reply->error()) ||
               (reply->error() == QNetworkReply::NoError &&
                (fullSize < 0 || bytesWritten >= fullSize))) {
        return false;
    }
    ++retries;
    const int pause = Resume::backoffMs(retries);
    qDebug().noquote()
        << QStringLiteral(
               "Transfer of %1 broke off after %2 bytes; continuing in %3 ms (try %4 of %5)")
               .arg(activeFileName)
               .arg(bytesWritten)
               .arg(pause)
               .arg(retries)
               .arg(Resume::kMaxRetries);
    reply->disconnect(this);
    reply->deleteLater();
    activeReply = nullptr;
    retryArmed = true;
    QTimer::singleShot(pause, this, [this] {
        retryArmed = false;
        beginTransfer(activeUrl);
    });
    return true;
}

void AppConfig::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    emit SendData(bytesReceived, bytesTotal, activeFileName);
}

void AppConfig::downloadReadyRead()
{
    QIODevice *source = transferSource();
    if (!source)
        return;
    // The framework can hold far more than its read buffer (it reads ahead without bound until
    // its network thread has taken the bound in). Write a buffer's worth at a time for a few
    // milliseconds, then let the window have its turn and go on from the event loop.
    QElapsedTimer turn;
    turn.start();
    while (writeAvailable(UpdaterRequests::kReadBufferBytes) && turn.elapsed() < kWriteTurnMs) {
    }
    if (source->bytesAvailable() > 0 && !writeSliceArmed) {
        writeSliceArmed = true;
        QTimer::singleShot(0, this, [this] {
            writeSliceArmed = false;
            downloadReadyRead();
        });
    }
}

// Writes up to maxBytes of what the reply holds; false when there was nothing to read. After a
// failed write the rest is only drained, and the transfer is cut short from the event loop: the
// file cannot be saved any more.
bool AppConfig::writeAvailable(qint64 maxBytes)
{
    QIODevice *source = transferSource();
    if (!source || !source->isOpen())
        return false; // aborted: nothing more to read
    // Sized to what is there: read(maxBytes) would allocate maxBytes for every small chunk.
    const qint64 available = source->bytesAvailable();
    if (available <= 0)
        return false;
    const QByteArray chunk = source->read(qMin(maxBytes, available));
    if (writeFailed)
        return true;
    if (outputFile.write(chunk)) {
        bytesWritten += chunk.size();
        receivedHash.addData(chunk);
        if (expectedSize < 0 || bytesWritten <= expectedSize)
            return true;
        // Longer than the manifest says: it cannot be the file, no use fetching the rest.
        transferProblem = QStringLiteral("%1 is longer than the %2 bytes the manifest gives")
                              .arg(activeFileName)
                              .arg(expectedSize);
    } else {
        transferProblem = outputFile.errorString();
    }
    writeFailed = true;
    if (activeReply)
        QTimer::singleShot(0, activeReply, &QNetworkReply::abort);
    else
        QTimer::singleShot(0, chunkedGet, &ChunkedGet::abortTransfer);
    return true;
}

void AppConfig::downloadFinished()
{
    if (chunkedGet) {
        while (writeAvailable(UpdaterRequests::kReadBufferBytes)) {
        }
        if (keepChunkedFile())
            ++savedCount;
        chunkedGet->disconnect(this);
        chunkedGet->deleteLater();
        chunkedGet = nullptr;
        startNextDownload();
        return;
    }
    QNetworkReply *reply = activeReply;
    if (!reply)
        return;
    // Whatever the framework still holds belongs to the file.
    while (writeAvailable(UpdaterRequests::kReadBufferBytes)) {
    }
    if (retryTransfer(reply))
        return;
    if (keepFile(reply))
        ++savedCount;
    reply->disconnect(this);
    reply->deleteLater();
    activeReply = nullptr;
    startNextDownload();
}

// Moves the new file over the target when the transfer brought all of it; otherwise drops it,
// so that the target keeps what it had (or stays missing).
bool AppConfig::keepFile(QNetworkReply *reply)
{
    const int status = statusOf(reply);
    QString problem;
    if (writeFailed)
        problem = transferProblem;
    else if (reply->error() != QNetworkReply::NoError)
        problem = reply->errorString();
    if (problem.isEmpty() && isRedirect(status)) {
        logRedirect();
        discardFile();
        return false;
    }
    // Nothing conditional was asked for: "not modified" can only mean keeping the file that is
    // there. Without one there is nothing to keep.
    // With the manifest's hash the file here was found to differ: keeping it would keep it wrong.
    if (problem.isEmpty() && status == 304 && expectedOf.contains(reply->request().url()))
        problem = QStringLiteral("Not Modified, but the file here is not the one the manifest "
                                 "lists");
    if (problem.isEmpty() && status == 304) {
        discardFile();
        if (QFileInfo(outputFile.targetPath()).isFile()) {
            qDebug() << "Saved!";
            return true;
        }
        problem = QStringLiteral("Not Modified, but there is no file to keep");
    }
    // The connection can close before Content-Length bytes came without the reply saying so.
    // A continued transfer announces only the rest.
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    const qint64 wanted = announced.toLongLong() + resumeFrom;
    if (problem.isEmpty() && announced.isValid() && !hasNoBody(status) && wanted != bytesWritten)
        problem =
            QStringLiteral("Transfer ended after %1 of %2 bytes").arg(bytesWritten).arg(wanted);
    QByteArray sha256;
    const bool verified = problem.isEmpty() && verify(reply->request().url(), problem, sha256);
    const bool partialKept = outputFile.isPersistent();
    if (problem.isEmpty() && !outputFile.commit())
        problem = outputFile.errorString();
    if (!problem.isEmpty()) {
        if (partialKept && transferProblem.isEmpty() && Resume::isTransportError(reply->error()) &&
            (status == 0 || status == 200 || status == 206)) {
            outputFile.release(); // the next start continues it
            qDebug() << "Error: " << problem;
            qDebug().noquote() << QStringLiteral("Keeping %1 to continue at the next start")
                                      .arg(Resume::partialPath(activeFileName));
            return false;
        }
        discardFile();
        qDebug() << "Error: " << problem;
        return false;
    }
    if (partialKept)
        QFile::remove(Resume::infoPath(activeFileName));
    return fileSaved(verified, sha256);
}

bool AppConfig::keepChunkedFile()
{
    QString problem = writeFailed ? transferProblem : chunkedGet->problem();
    QByteArray sha256;
    const bool verified = problem.isEmpty() && verify(activeUrl, problem, sha256);
    if (problem.isEmpty() && !outputFile.commit())
        problem = outputFile.errorString();
    if (!problem.isEmpty()) {
        discardFile();
        qDebug() << "Error: " << problem;
        return false;
    }
    return fileSaved(verified, sha256);
}

// A file now in place: its hash is remembered when it was checked, and it joins the run's flush.
bool AppConfig::fileSaved(bool verified, const QByteArray &sha256)
{
    const QString saved = outputFile.targetPath();
    if (verified)
        hashCache.remember(saved, FileStamp::of(saved), sha256);
    else
        hashCache.forget(saved);
    unflushedFiles << saved;
    qDebug() << "Saved!";
    return true;
}

// With the manifest's size and SHA-256 for `url`, compares what arrived; true when there was
// something to compare. A mismatch sets `problem`.
bool AppConfig::verify(const QUrl &url, QString &problem, QByteArray &sha256)
{
    const auto expected = expectedOf.constFind(url);
    if (expected == expectedOf.constEnd())
        return false;
    sha256 = receivedHash.hexResult();
    if (bytesWritten != expected->size || sha256 != expected->sha256)
        problem = QStringLiteral("%1 arrived with %2 bytes and SHA-256 %3, but the manifest "
                                 "says %4 bytes and SHA-256 %5; the old file is kept")
                      .arg(activeFileName)
                      .arg(bytesWritten)
                      .arg(QString::fromLatin1(sha256))
                      .arg(expected->size)
                      .arg(QString::fromLatin1(expected->sha256));
    return true;
}

void AppConfig::discardFile()
{
    const bool partial = outputFile.isPersistent();
    outputFile.discard();
    if (partial)
        QFile::remove(Resume::infoPath(activeFileName));
}

void AppConfig::logRedirect()
{
    const int status = statusOf(activeReply);
    const QUrl requestUrl = activeReply->request().url();
    {
        QTextStream err(stderr);
        useSystemEncoding(err);
        err << "Request: " << requestUrl.toDisplayString()
            << " was redirected with code: " << status << '\n';
    }
    const QVariant target = activeReply->attribute(QNetworkRequest::RedirectionTargetAttribute);
    // Without a Location the framework still stores a target: an empty URL, which is no target.
    if (!target.isValid() || target.toUrl().isEmpty())
        return;
    QUrl url = target.toUrl();
    if (url.isRelative())
        url = requestUrl.resolved(url);
    QTextStream err(stderr);
    useSystemEncoding(err);
    err << "Redirected to: " << url.toDisplayString() << '\n';
}

// The queue is empty. Before the version may advance, the run's files must be on disk; a run
// that failed a file keeps the old version anyway, so its files need no flush.
void AppConfig::finishRun()
{
    if (savedCount == queuedCount && !unflushedFiles.isEmpty()) {
        flushRun();
        return;
    }
    unflushedFiles.clear();
    endRun();
}

// Flushing a gigabyte takes the disk a while: off the GUI thread, so the window stays responsive.
void AppConfig::flushRun()
{
    const QStringList files = unflushedFiles;
    unflushedFiles.clear();
    auto flushed = QSharedPointer<bool>::create(false);
    flushThread = QThread::create([files, flushed] { *flushed = flushToDisk(files); });
    connect(flushThread, &QThread::finished, this, [this, flushed] { runFlushed(*flushed); });
    flushThread->start();
}

// More files may have been queued meanwhile (a new manifest reading): the run goes on with them.
void AppConfig::runFlushed(bool ok)
{
    flushThread->deleteLater();
    flushThread = nullptr;
    if (!ok) {
        flushFailed = true;
        qDebug() << "Error: "
                 << QStringLiteral("the downloaded files could not be flushed to disk");
    }
    if (pendingUrls.isEmpty())
        endRun();
    else
        startNextDownload();
}

// The run is over. The version advances only when every queued file was saved and flushed:
// otherwise the next start sees the old version and tries again.
void AppConfig::endRun()
{
    const bool complete = savedCount == queuedCount && !flushFailed;
    flushFailed = false;
    hashCache.save();
    if (complete)
        Config::WriteSetting(QStringLiteral("ClientVersion"), kWotlk, runVersion);
    qDebug() << savedCount << "/" << queuedCount << "files downloaded successfully";
    emit finished();
    if (complete)
        emit downloadFinishedMain();
    else
        emit downloadFailedMain();
    manifestChecked = 0;
    savedCount = 0;
    queuedCount = 0;
    const QStringList keys = fileLocales.keys();
    for (const QString &key : keys) {
        if (!collectedSinceAppend.contains(key))
            fileLocales.remove(key);
    }
}
