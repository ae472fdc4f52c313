#include "appconfig.h"

#include "config/config.h"
#include "filetransfer.h"
#include "requests.h"
#include "resume.h"
#include "targetpath.h"

#include <QDebug>
#include <QHash>
#include <QNetworkReply>
#include <QTextStream>
#include <QTimer>

#include <utility>

namespace {

const QString kLocaleGroup = QStringLiteral("WClientLocale");
const QString kWotlk = QStringLiteral("WOTLK");

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
        const QString path = target.writable && fetchable ? target.path : QString();
        // A folder of the run may see no write at all (its files are there already), and a
        // killed run's leftovers there would stay for good.
        if (!path.isEmpty())
            outputFile.sweepLeftovers(path.left(path.lastIndexOf(QLatin1Char('/'))));
        targetPaths.insert(url, path);
        qDebug() << target.path;
        qDebug() << "Target - " << url;
        accepted = true;
        if (waitingUrls.contains(url)) {
            // Fetched once, as the newest reading that lists it says: the version the run
            // records is that reading's, so its files must be too.
            plan.bind(url, urlText, path, locale);
            continue;
        }
        plan.bind(url, urlText, path, locale);
        pendingUrls.append(url);
        waitingUrls.insert(url);
        ++queuedCount;
    }
    if (accepted)
        runVersion = onlineVersion;

    // One transfer at a time: a start is armed only when no transfer runs and none is armed;
    // a running transfer starts the next one itself when it ends.
    if (pendingUrls.isEmpty())
        QTimer::singleShot(0, this, SIGNAL(finished()));
    else if (!busy()) {
        startPending = true;
        QTimer::singleShot(0, this, SLOT(startNextDownload()));
    }
}

bool AppConfig::busy() const
{
    return transfer || startPending || flush.running();
}

void AppConfig::startNextDownload()
{
    startPending = false;
    if (transfer || flush.running())
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
        const PlannedFile file = plan.take(url);
        activeFileName = file.target;
        transfer = FileTransfer::create(network, file, outputFile, hashCache,
                                        !manifestPublicKey().isEmpty(), this);
        connect(transfer, SIGNAL(progress(qint64, qint64)), this,
                SLOT(downloadProgress(qint64, qint64)));
        connect(transfer, SIGNAL(finished()), this, SLOT(downloadFinished()));
        connect(transfer, SIGNAL(dataArrived()), this, SLOT(downloadReadyRead()));
        if (transfer->start()) {
            activeReply = transfer->reply();
            return;
        }
        report(*transfer);
        delete std::exchange(transfer, nullptr);
    }
}

void AppConfig::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    emit SendData(bytesReceived, bytesTotal, activeFileName);
}

void AppConfig::downloadReadyRead()
{
    if (transfer)
        transfer->writeAvailable();
}

void AppConfig::downloadFinished()
{
    FileTransfer *done = std::exchange(transfer, nullptr);
    if (!done)
        return;
    activeReply = done->reply();
    report(*done);
    done->deleteLater();
    startNextDownload();
}

// The outcome of one file, as the log and the run's counts see it.
void AppConfig::report(const FileTransfer &done)
{
    using Kind = TransferOutcome::Kind;
    const TransferOutcome outcome = done.outcome();
    const QString &path = activeFileName;
    switch (outcome.kind) {
    case Kind::Saved:
        flush.add(path);
        qDebug() << "Saved!";
        break;
    case Kind::NotModified:
        qDebug() << "Saved!";
        break;
    case Kind::Unchanged:
        qDebug().noquote() << QStringLiteral("Unchanged, not fetched: %1").arg(path);
        // It may come from a run that failed, whose files were never flushed.
        flush.add(path);
        break;
    case Kind::Redirected:
        logRedirect();
        break;
    case Kind::NotOpened:
        qDebug() << "Problem opening save file" << done.file().url.toEncoded() << " for download";
        break;
    case Kind::Failed:
        qDebug() << "Error: " << outcome.problem;
        break;
    case Kind::KeptToContinue:
        qDebug() << "Error: " << outcome.problem;
        qDebug().noquote() << QStringLiteral("Keeping %1 to continue at the next start")
                                  .arg(Resume::partialPath(path));
        break;
    }
    if (outcome.counts())
        ++savedCount;
}

void AppConfig::logRedirect()
{
    const int status = UpdaterRequests::statusOf(activeReply);
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

// The queue is empty: the run is over. Its counts and version are taken now, so that an
// append() that comes while its files are flushed starts a run of its own.
void AppConfig::finishRun()
{
    const int saved = std::exchange(savedCount, 0);
    const int queued = std::exchange(queuedCount, 0);
    flush.finish(saved, queued, runVersion, [this](const RunFlush::Ended &run) {
        endRun(run);
        if (!pendingUrls.isEmpty() && !busy())
            startNextDownload();
    });
}

// The version advances only when every queued file was saved and flushed: otherwise the next
// start sees the old version and tries again.
void AppConfig::endRun(const RunFlush::Ended &run)
{
    if (run.flushFailed)
        qDebug() << "Error: "
                 << QStringLiteral("the downloaded files could not be flushed to disk");
    hashCache.save();
    if (run.complete)
        Config::WriteSetting(QStringLiteral("ClientVersion"), kWotlk, run.version);
    qDebug() << run.saved << "/" << run.queued << "files downloaded successfully";
    emit finished();
    if (run.complete)
        emit downloadFinishedMain();
    else
        emit downloadFailedMain();
    manifestChecked = 0;
    const QStringList keys = fileLocales.keys();
    for (const QString &key : keys) {
        if (!collectedSinceAppend.contains(key)) {
            fileLocales.remove(key);
            plan.forgetListed(key);
        }
    }
}
