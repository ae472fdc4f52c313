#include "appconfig.h"

#include "config/config.h"
#include "diskflush.h"
#include "requests.h"
#include "targetpath.h"

#include <QDebug>
#include <QElapsedTimer>
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
        targetPaths.insert(url, target.writable ? target.path : QString());
        const auto integrity = manifestIntegrity.constFind(urlText);
        if (integrity != manifestIntegrity.constEnd())
            expectedOf.insert(url, *integrity);
        else
            expectedOf.remove(url);
        qDebug().noquote() << target.path;
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
    return activeReply != nullptr || startPending || flushThread != nullptr ||
           hashThread != nullptr;
}

void AppConfig::startNextDownload()
{
    startPending = false;
    if (activeReply || flushThread || hashThread)
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
        qDebug().noquote() << "Error: " << integrityProblem(url);
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
    if (openTarget(path)) {
        beginTransfer(url);
        return true;
    }
    qDebug() << "Problem opening save file" << url.toEncoded() << " for download";
    return false;
}

void AppConfig::countUnchanged(const QString &path)
{
    qDebug().noquote() << "Unchanged, not fetched: " << path;
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

void AppConfig::beginTransfer(const QUrl &url)
{
    writeFailed = false;
    transferProblem.clear();
    bytesWritten = 0;
    receivedHash.reset();
    const auto expected = expectedOf.constFind(url);
    expectedSize = expected != expectedOf.constEnd() ? expected->size : -1;
    activeReply = network->get(UpdaterRequests::fileRequest(url));
    // Without a bound, a disk slower than the network would pile the file up in memory.
    activeReply->setReadBufferSize(UpdaterRequests::kReadBufferBytes);
    connect(activeReply, SIGNAL(downloadProgress(qint64, qint64)), this,
            SLOT(downloadProgress(qint64, qint64)));
    connect(activeReply, SIGNAL(finished()), this, SLOT(downloadFinished()));
    connect(activeReply, SIGNAL(readyRead()), this, SLOT(downloadReadyRead()));
}

void AppConfig::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    emit SendData(bytesReceived, bytesTotal, activeFileName);
}

void AppConfig::downloadReadyRead()
{
    if (!activeReply)
        return;
    // The framework can hold far more than its read buffer (it reads ahead without bound until
    // its network thread has taken the bound in). Write a buffer's worth at a time for a few
    // milliseconds, then let the window have its turn and go on from the event loop.
    QElapsedTimer turn;
    turn.start();
    while (writeAvailable(UpdaterRequests::kReadBufferBytes) && turn.elapsed() < kWriteTurnMs) {
    }
    if (activeReply->bytesAvailable() > 0 && !writeSliceArmed) {
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
    if (!activeReply->isOpen())
        return false; // aborted: nothing more to read
    // Sized to what is there: read(maxBytes) would allocate maxBytes for every small chunk.
    const qint64 available = activeReply->bytesAvailable();
    if (available <= 0)
        return false;
    const QByteArray chunk = activeReply->read(qMin(maxBytes, available));
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
    QTimer::singleShot(0, activeReply, &QNetworkReply::abort);
    return true;
}

void AppConfig::downloadFinished()
{
    QNetworkReply *reply = activeReply;
    if (!reply)
        return;
    // Whatever the framework still holds belongs to the file.
    while (writeAvailable(UpdaterRequests::kReadBufferBytes)) {
    }
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
    // The connection can close before Content-Length bytes came without the reply saying so.
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (problem.isEmpty() && announced.isValid() && !hasNoBody(status) &&
        announced.toLongLong() != bytesWritten)
        problem = QStringLiteral("Transfer ended after %1 of %2 bytes")
                      .arg(bytesWritten)
                      .arg(announced.toLongLong());
    const auto expected = expectedOf.constFind(reply->request().url());
    const bool verified = problem.isEmpty() && expected != expectedOf.constEnd();
    QByteArray sha256;
    if (verified) {
        sha256 = receivedHash.hexResult();
        if (bytesWritten != expected->size || sha256 != expected->sha256)
            problem = QStringLiteral("%1 arrived with %2 bytes and SHA-256 %3, but the manifest "
                                     "says %4 bytes and SHA-256 %5; the old file is kept")
                          .arg(activeFileName)
                          .arg(bytesWritten)
                          .arg(QString::fromLatin1(sha256))
                          .arg(expected->size)
                          .arg(QString::fromLatin1(expected->sha256));
    }
    if (problem.isEmpty() && !outputFile.commit())
        problem = outputFile.errorString();
    if (!problem.isEmpty()) {
        discardFile();
        qDebug().noquote() << "Error: " << problem;
        return false;
    }
    const QString saved = outputFile.targetPath();
    if (verified)
        hashCache.remember(saved, FileStamp::of(saved), sha256);
    else
        hashCache.forget(saved);
    unflushedFiles << saved;
    qDebug() << "Saved!";
    return true;
}

void AppConfig::discardFile()
{
    outputFile.discard();
}

void AppConfig::logRedirect()
{
    const int status = statusOf(activeReply);
    const QUrl requestUrl = activeReply->request().url();
    {
        QTextStream err(stderr);
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
        qDebug().noquote() << "Error: "
                           << "the downloaded files could not be flushed to disk";
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
