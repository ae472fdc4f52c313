#pragma once

#include <QFile>
#include <QList>
#include <QMap>
#include <QObject>
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

signals:
    void UpdatesChecked();
    void ConfigNotFound();
    void ClientNotFound();
    void downloadFinishedMain();
    void HaveUpdates();
    void SendData(qint64 bytesReceived, qint64 bytesTotal, QString filename);
    void finished();

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
    QFile outputFile;
    int savedCount = 0;
    int queuedCount = 0;
};
