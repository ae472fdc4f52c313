#pragma once

#include <QFile>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPair>
#include <QSaveFile>
#include <QUrl>

class QNetworkReply;

// The plainest sequential download loop Qt offers: one network manager, one request at a time,
// every readyRead() written straight to disk. It is the yardstick for the launcher's queue.
class Downloader final : public QObject
{
    Q_OBJECT

public:
    enum class Mode {
        Plain,      // QFile on the target; nothing flushed
        SaveFile,   // QSaveFile per file: temporary file, flushed to disk, renamed on commit
        RenameSync, // temporary file beside the target, renamed over it; one syncfs at the end
    };

    using Job = QPair<QUrl, QString>; // URL, target path

    Downloader(Mode mode, qint64 readBufferSize, QList<Job> jobs);

    void start();
    int saved() const { return savedCount; }
    int failed() const { return failedCount; }

signals:
    void done();

private:
    void startNext();
    void onReadyRead();
    void onFinished();
    bool openTarget(const QString &path);
    bool finishTarget(bool transferOk);
    bool syncRun();

    Mode mode;
    qint64 readBufferSize;
    QList<Job> pending;
    QNetworkAccessManager network;
    QNetworkReply *reply = nullptr;
    QString targetPath;
    QFile plainFile;
    QSaveFile saveFile;
    QIODevice *output = nullptr;
    bool writeFailed = false;
    int savedCount = 0;
    int failedCount = 0;
};
