#include "downloader.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString partPath(const QString &target)
{
    return target + QStringLiteral(".part");
}

} // namespace

Downloader::Downloader(Mode mode, qint64 readBufferSize, QList<Job> jobs)
    : mode(mode), readBufferSize(readBufferSize), pending(std::move(jobs))
{
}

void Downloader::start()
{
    // From the event loop, so that done() always finds it running, even for an empty list.
    QTimer::singleShot(0, this, &Downloader::startNext);
}

void Downloader::startNext()
{
    while (!pending.isEmpty()) {
        const Job job = pending.takeFirst();
        if (!openTarget(job.second)) {
            std::fprintf(stderr, "cannot open %s\n", qPrintable(job.second));
            ++failedCount;
            continue;
        }
        reply = network.get(QNetworkRequest(job.first));
        // 0 means unlimited: Qt then buffers whatever the disk has not taken yet.
        reply->setReadBufferSize(readBufferSize);
        connect(reply, &QNetworkReply::readyRead, this, &Downloader::onReadyRead);
        connect(reply, &QNetworkReply::finished, this, &Downloader::onFinished);
        return;
    }
    if (mode == Mode::RenameSync && savedCount > 0 && !syncRun()) {
        std::fprintf(stderr, "syncfs failed: no file of the run counts as saved\n");
        failedCount += savedCount;
        savedCount = 0;
    }
    emit done();
}

bool Downloader::openTarget(const QString &path)
{
    targetPath = path;
    writeFailed = false;
    switch (mode) {
    case Mode::Plain:
        plainFile.setFileName(path);
        output = &plainFile;
        break;
    case Mode::SaveFile:
        saveFile.setFileName(path);
        output = &saveFile;
        break;
    case Mode::RenameSync:
        plainFile.setFileName(partPath(path));
        output = &plainFile;
        break;
    }
    return output->open(QIODevice::WriteOnly);
}

void Downloader::onReadyRead()
{
    const QByteArray bytes = reply->readAll();
    if (output->write(bytes) != bytes.size())
        writeFailed = true;
}

void Downloader::onFinished()
{
    onReadyRead();
    const bool ok = reply->error() == QNetworkReply::NoError && !writeFailed;
    if (!ok)
        std::fprintf(stderr, "%s: %s\n", qPrintable(reply->url().toString()),
                     qPrintable(reply->errorString()));
    reply->deleteLater();
    reply = nullptr;
    if (finishTarget(ok))
        ++savedCount;
    else
        ++failedCount;
    startNext();
}

bool Downloader::finishTarget(bool transferOk)
{
    switch (mode) {
    case Mode::Plain:
        plainFile.close();
        return transferOk;
    case Mode::SaveFile:
        if (!transferOk) {
            saveFile.cancelWriting();
            saveFile.commit();
            return false;
        }
        return saveFile.commit();
    case Mode::RenameSync:
        plainFile.close();
        if (!transferOk || plainFile.error() != QFileDevice::NoError) {
            plainFile.remove();
            return false;
        }
        return std::rename(qPrintable(partPath(targetPath)), qPrintable(targetPath)) == 0;
    }
    return false;
}

bool Downloader::syncRun()
{
    // One flush of the whole file system that holds the run's files, instead of one per file.
    const int fd = ::open(qPrintable(targetPath), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::syncfs(fd) == 0;
    ::close(fd);
    return ok;
}
