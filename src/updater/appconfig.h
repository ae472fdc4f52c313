#pragma once

#include "manifestreader.h"
#include "repaircheck.h"
#include "runflush.h"

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>

class DownloadQueue;
class ManifestCheck;
class SelfUpdate;
class QNetworkAccessManager;
class QNetworkReply;

// The updater: reads the update manifest, compares the announced version with the installed
// one and downloads the files of the installed locales one after another. It never touches a
// widget; the window learns everything through its signals. It decides; each check of the
// server is a ManifestCheck, and the fetching is the DownloadQueue's.
class AppConfig : public QObject
{
    Q_OBJECT

public:
    explicit AppConfig(QObject *parent = nullptr);
    ~AppConfig() override;

    // Where the manifest is fetched from: the build's default, or EMBERCREST_MANIFEST_URL.
    static QUrl manifestUrl();
    // The base64 Ed25519 keys that manifests must be signed with, separated by ";" or ",": the
    // build's, or EMBERCREST_MANIFEST_PUBKEY. Empty: manifests are not checked.
    static QByteArray manifestPublicKey();

signals:
    void UpdatesChecked();
    void ConfigNotFound();
    void ClientNotFound();
    void downloadFinishedMain();
    void HaveUpdates();
    void SendData(qint64 bytesReceived, qint64 bytesTotal, QString filename);
    void finished();
    // A download run ended without saving every file: the installed version was left as it was.
    void downloadFailedMain();
    // A manifest reply gave nothing to compare (no server, an error, not a manifest): the
    // player is told, the check is not retried.
    void UpdateCheckFailed();
    // Instead of UpdateCheckFailed: the server answered, and the manifest was refused for its
    // signature, serial or expiry (ManifestCheck::Result::notTrusted).
    void UpdateRefused();

public slots:
    void append();
    void CheckUpdates();

private slots:
    bool OnGetJSON(QNetworkReply *reply);
    void startNextDownload();
    void downloadFinished();
    void downloadReadyRead();
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);

private:
    QMap<QString, QString> fileLocales;
    QMap<QUrl, QString> targetPaths;
    QString onlineVersion;
    int manifestChecked = 0;
    int recheckRequested = 0;
    QNetworkAccessManager *network = nullptr;
    QString activeFileName;
    QNetworkReply *activeReply = nullptr;

    // fileLocales keys collected by a manifest reading after the last append(): a run that ends
    // meanwhile leaves them for the append() that is still to come.
    QSet<QString> collectedSinceAppend;
    // The checks whose manifest is still awaited, by the id their requests carry.
    QHash<quint64, ManifestCheck *> checks;
    quint64 lastCheckId = 0;
    // Fetches what append() queues; a child, deleted before the manager.
    DownloadQueue *queue = nullptr;
    // The launcher's own update, fetched while the game's is idle.
    SelfUpdate *launcherUpdate = nullptr;

    void sendManifestRequest();
    void dropCheck(quint64 id);
    bool readsAsManifest(QNetworkReply *reply) const;
    QString installedVersion() const;
    void collectFiles(const ManifestReading &reading);
    void checkForRepairs(const QByteArray &body, const QString &localVersion,
                         const ManifestReading &reading, const LocaleFlagLookup &flagOf);
    void repairsFound(const RepairCheck::Outcome &outcome);
    void logRedirect();
    void endRun(const RunFlush::Ended &run);
};
