#pragma once

#include "filetransfer.h"
#include "hashcache.h"
#include "manifestreader.h"
#include "repaircheck.h"
#include "runflush.h"
#include "runplan.h"
#include "stagedfile.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// The updater: reads the update manifest, compares the announced version with the installed
// one and downloads the files of the installed locales one after another. It never touches a
// widget; the window learns everything through its signals.
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
    QList<QUrl> pendingUrls;
    QNetworkReply *activeReply = nullptr;
    // Written beside the target and moved over it only once the whole file has arrived, so a
    // failed transfer never costs the player the file they had.
    StagedFile outputFile;
    int savedCount = 0;
    int queuedCount = 0;

    // The version that the files of the current run belong to (the one of its last append()).
    QString runVersion;
    // fileLocales keys collected by a manifest reading after the last append(): a run that ends
    // meanwhile leaves them for the append() that is still to come.
    QSet<QString> collectedSinceAppend;
    // The URLs in pendingUrls, for a quick "already waiting?".
    QSet<QUrl> waitingUrls;
    bool startPending = false;
    // What each listed and each queued file must be (see RunPlan).
    RunPlan plan;
    // The file being fetched (or checked) now; it reports one outcome.
    FileTransfer *transfer = nullptr;
    HashCache hashCache{QStringLiteral("hashcache.dat")};
    // The files of the run, put on disk before its version is recorded (see RunFlush).
    RunFlush flush;

    // With a public key, each manifest request goes with a request of its signature; the
    // manifest is read once both have arrived. By check id (see UpdaterRequests).
    struct SignatureCheck
    {
        QByteArray key;
        QByteArray received; // at most one byte more than a signature file may hold
        bool arrived = false;
        bool fetched = false; // a 2xx reply, read to its end or to the size limit
        QString problem;      // why it was not fetched
        QNetworkReply *heldManifest = nullptr;
    };
    QHash<quint64, SignatureCheck> signatureChecks;
    quint64 lastCheckId = 0;

    void sendManifestRequest();
    void endWhenUnreasonable(QNetworkReply *reply, qint64 maxBytes);
    void sendSignatureRequest(const QUrl &manifestUrl, quint64 checkId, const QByteArray &key);
    void signatureFinished(QNetworkReply *reply);
    bool holdForSignature(QNetworkReply *reply);
    bool manifestSignatureAccepted(QNetworkReply *reply, const QByteArray &body);
    bool manifestFresh(QNetworkReply *reply, const QByteArray &body);
    bool readsAsManifest(QNetworkReply *reply) const;
    void collectFiles(const ManifestReading &reading);
    void checkForRepairs(const QByteArray &body, const QString &localVersion,
                         const ManifestReading &reading, const LocaleFlagLookup &flagOf);
    void repairsFound(const RepairCheck::Outcome &outcome);
    bool busy() const;
    void report(const FileTransfer &done);
    void logRedirect();
    void finishRun();
    void endRun(const RunFlush::Ended &run);
};
