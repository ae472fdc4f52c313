#include "appconfig.h"

#include "config/config.h"
#include "config/delays.h"
#include "downloadqueue.h"
#include "manifestcheck.h"
#include "manifestsignature.h"
#include "requests.h"
#include "selfupdate.h"
#include "targetpath.h"

#include <QDebug>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTextStream>
#include <QTimer>
#ifndef QT_NO_SSL
#include <QSslError>
#endif

namespace {

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

AppConfig::AppConfig(QObject *parent)
    : QObject(parent), network(new QNetworkAccessManager(this)),
      queue(new DownloadQueue(network, this)),
      launcherUpdate(new SelfUpdate(LauncherInstall::current(), this))
{
    qRegisterMetaType<QNetworkReply *>("QNetworkReply*");
#ifndef QT_NO_SSL
    // A certificate that the system does not trust ends the request like any failed one; only
    // the log can tell the player's helpers why.
    connect(network, &QNetworkAccessManager::sslErrors, this,
            [](QNetworkReply *reply, const QList<QSslError> &errors) {
                for (const QSslError &error : errors)
                    qDebug().noquote() << QStringLiteral("TLS error from %1: %2")
                                              .arg(reply->url().host(), error.errorString());
            });
#endif
    connect(queue, SIGNAL(progress(qint64, qint64)), this, SLOT(downloadProgress(qint64, qint64)));
    connect(queue, SIGNAL(fileFinished()), this, SLOT(downloadFinished()));
    connect(queue, SIGNAL(dataArrived()), this, SLOT(downloadReadyRead()));
    connect(queue, &DownloadQueue::runEnded, this, [this](const RunFlush::Ended &run) {
        endRun(run);
        if (queue->hasWaiting() && !queue->busy())
            startNextDownload();
    });
    // The launcher's own update never shares the line with the game's.
    const auto gameIdle = [this] {
        if (!queue->busy() && !queue->hasWaiting())
            launcherUpdate->start();
    };
    connect(this, &AppConfig::UpdatesChecked, launcherUpdate, gameIdle);
    connect(this, &AppConfig::finished, launcherUpdate, gameIdle);
    if (Config::ConfigExists(Config::FileName) && manifestChecked == 0)
        sendManifestRequest();
    qDebug().noquote() << "AppConfig->Constructor: I'm called!";
}

AppConfig::~AppConfig()
{
    // Replies die with the manager; none of their last signals may reach a half-destroyed
    // updater. An unfinished download is dropped by the queue, leaving the old file.
    network->disconnect(this);
    const QList<QNetworkReply *> replies = network->findChildren<QNetworkReply *>();
    for (QNetworkReply *reply : replies)
        reply->disconnect(this);
    delete launcherUpdate;
    launcherUpdate = nullptr;
    delete queue;
    queue = nullptr;
    delete network;
    network = nullptr;
}

QUrl AppConfig::manifestUrl()
{
    const QByteArray overridden = qgetenv("EMBERCREST_MANIFEST_URL");
    const QString text = overridden.isEmpty() ? QStringLiteral(EMBERCREST_DEFAULT_MANIFEST_URL)
                                              : QString::fromUtf8(overridden);
    return QUrl(text, QUrl::TolerantMode);
}

QByteArray AppConfig::manifestPublicKey()
{
    return ManifestSignature::effectivePublicKey(
        QByteArrayLiteral(EMBERCREST_DEFAULT_MANIFEST_PUBKEY),
        qgetenv("EMBERCREST_MANIFEST_PUBKEY"));
}

void AppConfig::CheckUpdates()
{
    recheckRequested = 1;
    sendManifestRequest();
}

// One manager, owned by the updater, serves every check and every download: repeated checks
// cost nothing that outlives them. Every reply it finishes comes to OnGetJSON, once.
void AppConfig::sendManifestRequest()
{
    const quint64 id = ++lastCheckId;
    checks.insert(id, new ManifestCheck(network, manifestUrl(), manifestPublicKey(), id, this));
    connect(network, &QNetworkAccessManager::finished, this, &AppConfig::OnGetJSON,
            Qt::UniqueConnection);
}

void AppConfig::dropCheck(quint64 id)
{
    if (ManifestCheck *check = checks.take(id))
        check->deleteLater();
}

// The reply gate. Downloads go through the same manager as the manifest, so their replies come
// to OnGetJSON too; only a manifest reply is ever read as one, and only while a reading is due
// (the first one, or one asked for by CheckUpdates() since the last append()).
bool AppConfig::readsAsManifest(QNetworkReply *reply) const
{
    return UpdaterRequests::isManifestRequest(reply->request()) &&
           (manifestChecked == 0 || recheckRequested == 1);
}

bool AppConfig::OnGetJSON(QNetworkReply *reply)
{
    const bool isManifest = UpdaterRequests::isManifestRequest(reply->request());
    const quint64 checkId = UpdaterRequests::checkIdOf(reply->request());
    ManifestCheck *check = checks.value(checkId);
    // A signature is no manifest; a manifest that is checked is read once its signature is in.
    if (UpdaterRequests::isSignatureRequest(reply->request())) {
        QNetworkReply *held = check ? check->signatureArrived(reply) : nullptr;
        if (!check)
            reply->deleteLater(); // its manifest was not wanted any more
        if (held)
            OnGetJSON(held);
        return false;
    }
    if (isManifest && check && check->holds(reply))
        return false;
    qDebug().noquote() << "OnGetJSON: I'm called! Starting cheking content of this file... :D";
    if (!readsAsManifest(reply)) {
        qDebug().noquote() << "True? Okey i offline.";
        // A download reply is the queue's. A manifest reply that is no longer wanted is nobody
        // else's, so it is released here.
        if (isManifest) {
            dropCheck(checkId);
            reply->deleteLater();
        }
        return false;
    }

    // config.conf does not change while one manifest is read: each flag is read once.
    QHash<QString, QString> flags;
    const auto flagOf = [&flags](const QString &locale) {
        auto flag = flags.constFind(locale);
        if (flag == flags.constEnd())
            flag =
                flags.insert(locale, Config::ReadSetting(QStringLiteral("WClientLocale"), locale));
        return *flag;
    };
    const ManifestCheck::Result concluded =
        check ? check->conclude(reply) : ManifestCheck::Result();
    const QByteArray &body = concluded.body;
    dropCheck(checkId);
    const QString localVersion = installedVersion();
    ManifestReading reading = readManifestVersion(body, localVersion);
    qDebug().noquote() << "OnGetJSON: Reading JSON";

    if (reading.outcome != ManifestReading::Outcome::NoVersionList) {
        qDebug().noquote() << "Local version - " << reading.localNumber;
        qDebug().noquote() << "Online version - " << reading.onlineNumber;
        onlineVersion = reading.onlineVersion;
        // With a key, a body is only there when its signature, serial and expiry held.
        launcherUpdate->consider(body, !manifestPublicKey().isEmpty());
        const bool noClient =
            Config::ReadSetting(QStringLiteral("ClientLocation"), kWotlk).isEmpty();
        if (reading.outcome == ManifestReading::Outcome::Equal) {
            // With integrity data, the check ends once the files are looked at (repairsFound).
            if (!noClient && reading.hasIntegrity)
                checkForRepairs(body, localVersion, reading, flagOf);
            else
                emit UpdatesChecked();
            reply->deleteLater();
            return false;
        } else {
            if (noClient)
                emit ClientNotFound();
            else
                emit HaveUpdates();
            // The locale pass comes after the signal: the flags are read as they are now.
            readManifestFiles(reading, flagOf);
            collectFiles(reading);
        }
    } else if (concluded.notTrusted) {
        emit UpdateRefused();
    } else {
        emit UpdateCheckFailed();
    }

    QTimer::singleShot(Delays::queueStart(), this, SLOT(append()));
    reply->deleteLater();
    manifestChecked = 1;
    return false;
}

// An installed version that cannot be read (no key, a single part) is a local matter, not the
// server's: the client counts as having no content yet, as after choosing it anew.
QString AppConfig::installedVersion() const
{
    const QString version = Config::ReadSetting(QStringLiteral("ClientVersion"), kWotlk);
    if (versionNumber(version))
        return version;
    qDebug().noquote() << QStringLiteral(
                              "OnGetJSON: installed version \"%1\" unreadable, taken as 0.0")
                              .arg(version);
    return QStringLiteral("0.0");
}

// A URL listed more than once keeps the locale of its last occurrence.
void AppConfig::collectFiles(const ManifestReading &reading)
{
    for (const ManifestFinding &finding : reading.findings) {
        if (finding.kind == ManifestFinding::Kind::LocaleNotInstalled) {
            qDebug() << "Locale " << finding.locale << " not found.";
            continue;
        }
        qDebug() << finding.locale << " => " << finding.url;
        fileLocales.insert(finding.url, finding.locale);
        collectedSinceAppend.insert(finding.url);
        queue->noteListed(finding.url, reading);
    }
}

void AppConfig::checkForRepairs(const QByteArray &body, const QString &localVersion,
                                const ManifestReading &reading, const LocaleFlagLookup &flagOf)
{
    // The flags as they are now, read here: config.conf is the GUI thread's.
    QHash<QString, QString> flags;
    for (const QJsonValue &element : reading.elements) {
        const QJsonObject locales = element.toObject();
        for (auto locale = locales.begin(); locale != locales.end(); ++locale)
            flags.insert(locale.key(), flagOf(locale.key()));
    }
    auto *repairs = new RepairCheck(this);
    connect(repairs, &RepairCheck::found, this, [this, repairs] {
        repairs->deleteLater();
        repairsFound(repairs->outcome());
    });
    repairs->start(body, localVersion, flags,
                   Config::ReadSetting(QStringLiteral("ClientDir"), kWotlk));
}

// The end of a check at equal versions: nothing to do, or the missing files to fetch.
void AppConfig::repairsFound(const RepairCheck::Outcome &outcome)
{
    if (outcome.missing.isEmpty()) {
        emit UpdatesChecked();
        return;
    }
    for (const ManifestFinding &file : outcome.missing) {
        fileLocales.insert(file.url, file.locale);
        collectedSinceAppend.insert(file.url);
        queue->noteListed(file.url, outcome.reading);
    }
    // One line, not one per file: a client that lost its data folder would log thousands;
    // append() names each file anyway.
    qDebug().noquote()
        << QStringLiteral("Repairing %1 missing or damaged files").arg(outcome.missing.size());
    emit HaveUpdates();
    QTimer::singleShot(Delays::queueStart(), this, SLOT(append()));
    manifestChecked = 1;
}

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
            flag =
                flags.insert(locale, Config::ReadSetting(QStringLiteral("WClientLocale"), locale));
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
            queue->sweepLeftovers(path.left(path.lastIndexOf(QLatin1Char('/'))));
        targetPaths.insert(url, path);
        qDebug() << target.path;
        qDebug() << "Target - " << url;
        accepted = true;
        queue->add(url, urlText, path, locale);
    }
    if (accepted)
        queue->setRunVersion(onlineVersion);

    // One transfer at a time: a start is armed only when no transfer runs and none is armed;
    // a running transfer starts the next one itself when it ends.
    if (!queue->hasWaiting())
        QTimer::singleShot(0, this, SIGNAL(finished()));
    else if (!queue->busy()) {
        queue->armStart();
        QTimer::singleShot(0, this, SLOT(startNextDownload()));
    }
}

void AppConfig::startNextDownload()
{
    if (const FileTransfer *started = queue->startNext(!manifestPublicKey().isEmpty())) {
        activeFileName = started->file().target;
        activeReply = started->reply();
    }
}

void AppConfig::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    emit SendData(bytesReceived, bytesTotal, activeFileName);
}

void AppConfig::downloadReadyRead()
{
    queue->writeAvailable();
}

void AppConfig::downloadFinished()
{
    const std::optional<DownloadQueue::FileEnd> ended = queue->endFile();
    if (!ended)
        return;
    activeReply = ended->reply;
    if (ended->outcome.kind == TransferOutcome::Kind::Redirected)
        logRedirect();
    startNextDownload();
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

// The version advances only when every queued file was saved and flushed: otherwise the next
// start sees the old version and tries again.
void AppConfig::endRun(const RunFlush::Ended &run)
{
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
            queue->forgetListed(key);
        }
    }
}
