#include "appconfig.h"

#include "chunkedget.h"
#include "config/config.h"
#include "diskflush.h"
#include "requests.h"
#include "targetpath.h"

#include <QDebug>
#include <QElapsedTimer>
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
    const bool busy = transferRunning() || startPending || flushThread != nullptr;
    if (!pendingUrls.isEmpty() && !busy) {
        startPending = true;
        QTimer::singleShot(0, this, SLOT(startNextDownload()));
    } else if (pendingUrls.isEmpty() && !busy) {
        QTimer::singleShot(0, this, SIGNAL(finished()));
    }
}

void AppConfig::startNextDownload()
{
    startPending = false;
    if (transferRunning() || flushThread)
        return; // the running transfer or flush goes on with the queue when it ends
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
        if (openTarget(path)) {
            beginTransfer(url);
            return;
        }
        qDebug() << "Problem opening save file" << url.toEncoded() << " for download";
    }
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
    bytesWritten = 0;
    activeReply = network->get(UpdaterRequests::fileRequest(url));
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
    const int status = statusOf(reply);
    // With a Content-Length beside it (no sound server sends both) the length is checked.
    if (!reply || status < 200 || status > 299 ||
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
    }
    bytesWritten = 0;
    chunkedGet = new ChunkedGet(url, UpdaterRequests::transferTimeoutMs(),
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
        return true;
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
        problem = outputFile.errorString();
    else if (reply->error() != QNetworkReply::NoError)
        problem = reply->errorString();
    if (problem.isEmpty() && isRedirect(status)) {
        logRedirect();
        discardFile();
        return false;
    }
    // Nothing conditional was asked for: "not modified" can only mean keeping the file that is
    // there. Without one there is nothing to keep.
    if (problem.isEmpty() && status == 304) {
        discardFile();
        if (QFileInfo(outputFile.targetPath()).isFile()) {
            qDebug() << "Saved!";
            return true;
        }
        problem = QStringLiteral("Not Modified, but there is no file to keep");
    }
    // The connection can close before Content-Length bytes came without the reply saying so.
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (problem.isEmpty() && announced.isValid() && !hasNoBody(status) &&
        announced.toLongLong() != bytesWritten)
        problem = QStringLiteral("Transfer ended after %1 of %2 bytes")
                      .arg(bytesWritten)
                      .arg(announced.toLongLong());
    if (problem.isEmpty() && !outputFile.commit())
        problem = outputFile.errorString();
    if (!problem.isEmpty()) {
        discardFile();
        qDebug() << "Error: " << problem;
        return false;
    }
    unflushedFiles << outputFile.targetPath();
    qDebug() << "Saved!";
    return true;
}

bool AppConfig::keepChunkedFile()
{
    QString problem = writeFailed ? outputFile.errorString() : chunkedGet->problem();
    if (problem.isEmpty() && !outputFile.commit())
        problem = outputFile.errorString();
    if (!problem.isEmpty()) {
        discardFile();
        qDebug() << "Error: " << problem;
        return false;
    }
    unflushedFiles << outputFile.targetPath();
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
