#pragma once

#include "hashcache.h"
#include "manifestreader.h"
#include "sha256.h"
#include "stagedfile.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>

class ChunkedGet;
class QIODevice;
class QNetworkAccessManager;
class QThread;
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
    // The base64 Ed25519 key that manifests must be signed with: the build's, or
    // EMBERCREST_MANIFEST_PUBKEY. Empty: manifests are not checked.
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
    // Files saved in this run and not yet flushed to disk; the flush runs on its own thread.
    QStringList unflushedFiles;
    QThread *flushThread = nullptr;
    bool flushFailed = false;
    bool writeFailed = false;
    bool writeSliceArmed = false;
    qint64 bytesWritten = 0;
    qint64 expectedSize = -1; // from the manifest's integrity data; -1: unknown
    QString transferProblem;  // why the current file cannot be saved, once that is clear

    // Sizes and SHA-256 of the files, from the manifest's "integrity" member, by URL text (the
    // last reading's), and of the queued files by URL. Files without an entry are not verified.
    QHash<QString, FileIntegrity> manifestIntegrity;
    QHash<QUrl, FileIntegrity> expectedOf;
    // The current file's bytes, hashed as they are written.
    Sha256 receivedHash;
    HashCache hashCache{QStringLiteral("hashcache.dat")};
    // Hashes a file already on disk, off the GUI thread.
    QThread *hashThread = nullptr;

    // Continuing a broken transfer with a Range request (see resume.h).
    QUrl activeUrl;
    int retries = 0;
    bool retryArmed = false;
    bool headersSeen = false;
    qint64 resumeFrom = 0; // the offset the current request asked for
    qint64 fullSize = -1;  // the whole file's size as the server gave it
    QByteArray validator;  // the server's ETag or Last-Modified for the file
    // A chunked body is read by the launcher itself (see ChunkedGet); activeReply is null then.
    ChunkedGet *chunkedGet = nullptr;

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
    void sendSignatureRequest(const QUrl &manifestUrl, quint64 checkId, const QByteArray &key);
    void collectSignature(QNetworkReply *reply);
    void signatureFinished(QNetworkReply *reply);
    bool holdForSignature(QNetworkReply *reply);
    bool manifestSignatureAccepted(QNetworkReply *reply, const QByteArray &body);
    bool readsAsManifest(QNetworkReply *reply) const;
    void collectFiles(const ManifestReading &reading);
    bool collectRepairs(const ManifestReading &reading);
    bool busy() const;
    enum class Next { Fetch, Unchanged, Failed, Hashing };
    Next decide(const QUrl &url, const QString &path);
    void fileHashed(const QUrl &url, const QString &path, const FileStamp &stamp,
                    const QByteArray &sha256);
    bool fetch(const QUrl &url, const QString &path);
    bool resumePartial(const QUrl &url, const QString &path);
    void downloadHeaders();
    void failTransfer(const QString &problem);
    bool retryTransfer(QNetworkReply *reply);
    bool verify(const QUrl &url, QString &problem, QByteArray &sha256);
    void countUnchanged(const QString &path);
    QString integrityProblem(const QUrl &url) const;
    bool openTarget(const QString &path);
    void beginTransfer(const QUrl &url);
    bool writeAvailable(qint64 maxBytes);
    QIODevice *transferSource() const;
    bool transferRunning() const { return activeReply || chunkedGet; }
    void readChunkedBodyItself();
    bool keepChunkedFile();
    bool fileSaved(bool verified, const QByteArray &sha256);
    bool keepFile(QNetworkReply *reply);
    void discardFile();
    void logRedirect();
    void finishRun();
    void flushRun();
    void runFlushed(bool ok);
    void endRun();
};
