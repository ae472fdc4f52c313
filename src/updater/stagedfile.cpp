#include "stagedfile.h"

#include "diskflush.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringView>

#include <cstdio>
#include <cstring>

#if defined(Q_OS_UNIX)
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#if defined(Q_OS_WIN)
#include <windows.h>
#endif

namespace {

// How much of a file is written before the disk is asked to start on it, and how much must be
// left at its end to be worth asking (smaller files go with the run's flush in one batch).
constexpr qint64 kWriteBackEveryBytes = qint64(8) << 20;
constexpr qint64 kWriteBackAtCommitBytes = qint64(512) << 10;

// The temporary file is "<target>.emberpart-" and six of these: a name only the launcher makes.
const char kTempMark[] = ".emberpart-";
const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr int kSuffixLength = 6;

QString randomSuffix()
{
    QString suffix(kSuffixLength, QLatin1Char('x'));
    for (QChar &c : suffix)
        c = QLatin1Char(kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters - 1))]);
    return QLatin1String(kTempMark) + suffix;
}

bool isOwnTempName(const QString &name, const QString &targetName)
{
    const QString prefix = targetName + QLatin1String(kTempMark);
    if (name.size() != prefix.size() + kSuffixLength || !name.startsWith(prefix))
        return false;
    for (const QChar c : QStringView(name).mid(prefix.size())) {
        if (c.unicode() == 0 || c.unicode() > 0x7f || !std::strchr(kLetters, char(c.unicode())))
            return false;
    }
    return true;
}

// Another launcher in the same folder may be writing such a file right now: only one whose
// writer is gone is a leftover. A writer holds a lock on its file for as long as it writes it
// (on Windows, a file that is open cannot be removed at all).
bool writerIsGone(const QString &path)
{
#if defined(Q_OS_UNIX)
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool gone = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return gone;
#else
    Q_UNUSED(path)
    return true;
#endif
}

// A launcher killed during a transfer leaves its temporary files behind; the next one that
// writes into the folder removes them, and nothing else. Once per folder: listing a folder of
// two thousand files for each of them would make a run's cost grow with the square of its size.
void removeLeftovers(const QDir &folder)
{
    const QStringList names =
        folder.entryList({QStringLiteral("*%1*").arg(QLatin1String(kTempMark))},
                         QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const int mark = name.lastIndexOf(QLatin1String(kTempMark));
        const QFileInfo entry(folder.filePath(name));
        if (!entry.isSymLink() && isOwnTempName(name, name.left(mark)) &&
            writerIsGone(entry.filePath()))
            QFile::remove(entry.filePath());
    }
}

// Atomically puts `from` in the place of `to`, replacing a file there.
bool replaceFile(const QString &from, const QString &to)
{
#if defined(Q_OS_WIN)
    // Write-through: the move is on disk when this returns, since Windows offers no way to flush
    // a folder later.
    return MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                       reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
#else
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}

// While a launcher writes a file it holds a lock on it, so that another one in the same folder
// knows it is no leftover, and does not write it too. False when another one holds it.
bool lockForWriting(QFile &file)
{
#if defined(Q_OS_UNIX)
    return ::flock(file.handle(), LOCK_EX | LOCK_NB) == 0;
#else
    Q_UNUSED(file)
    return true;
#endif
}

// Opens `path` to append to it, refusing a link (it could point outside the game folder),
// anything that is not a plain file, and a file that another launcher is writing.
StagedFile::PartialOpen openNoFollow(QFile &file, const QString &path)
{
    using Result = StagedFile::PartialOpen;
#if defined(Q_OS_UNIX)
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        return Result::Unusable;
    }
    file.setFileName(path);
    if (!file.open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return Result::Unusable;
    }
    if (!lockForWriting(file)) {
        file.close();
        return Result::InUse;
    }
    return Result::Opened;
#else
    const QFileInfo info(path);
    file.setFileName(path);
    return !info.isSymLink() && info.isFile() && file.open(QIODevice::WriteOnly | QIODevice::Append)
               ? Result::Opened
               : Result::Unusable;
#endif
}

} // namespace

bool StagedFile::open(const QString &path)
{
    discard();
    target = path;
    error.clear();
    const QFileInfo existing(target);
    if (existing.isDir() || (existing.exists() && !existing.isWritable())) {
        error = QStringLiteral("%1 is a folder or may not be written").arg(target);
        return false;
    }
    sweepLeftovers(existing.absolutePath());
    // A fresh name each time, never truncating a file that is there.
    for (int attempt = 0; attempt < 8; ++attempt) {
        tempPath = target + randomSuffix();
        temp.setFileName(tempPath);
        if (temp.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            lockForWriting(temp);
            if (existing.exists())
                temp.setPermissions(existing.permissions());
            return true;
        }
    }
    error = temp.errorString();
    tempPath.clear();
    return false;
}

void StagedFile::sweepLeftovers(const QString &folder)
{
    if (!sweptFolders.contains(folder)) {
        sweptFolders.insert(folder);
        removeLeftovers(QDir(folder));
    }
}

bool StagedFile::write(const QByteArray &bytes)
{
    qint64 written = temp.write(bytes);
    // A short write may come without an error (the disk filled up during it): writing the rest
    // either goes through or fails with the reason the system gives.
    if (written >= 0 && written < bytes.size() && temp.error() == QFileDevice::NoError) {
        const qint64 rest = temp.write(bytes.constData() + written, bytes.size() - written);
        written = rest < 0 ? rest : written + rest;
    }
    // A partial file kept across starts holds all that arrived, not less by what Qt's buffer
    // has: a launcher killed while the server is silent continues from its last byte.
    if (written != bytes.size() || (persistent && !temp.flush())) {
        setWriteError();
        return false;
    }
    startWriteBack(kWriteBackEveryBytes);
    return true;
}

// A big file goes to disk while the rest of it arrives: otherwise all of it waits for the
// run's flush, which then takes as long again as the transfer (1 GiB: 0.3 s of 1 s).
void StagedFile::startWriteBack(qint64 minimumBytes)
{
    const qint64 end = temp.pos();
    if (end - writtenBack < minimumBytes || !temp.flush())
        return;
    startWritingToDisk(temp, writtenBack, end - writtenBack);
    writtenBack = end;
}

// The player needs to know which file could not be written and why ("No space left on device").
void StagedFile::setWriteError()
{
    const QString reason = temp.error() == QFileDevice::NoError
                               ? QStringLiteral("the file system took only part of the data")
                               : temp.errorString();
    error = QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(target), reason);
}

bool StagedFile::commit()
{
    if (!temp.isOpen())
        return false;
    // Writes out Qt's buffer: a failure shows as an error.
    if (!temp.flush() || temp.error() != QFileDevice::NoError) {
        setWriteError();
        discard();
        return false;
    }
    startWriteBack(kWriteBackAtCommitBytes);
#if defined(Q_OS_WIN)
    temp.close(); // Windows cannot move a file that is open
#endif
    // Elsewhere it is moved while still open, and so still locked (see lockForWriting).
    if (!replaceFile(tempPath, target)) {
        error = QStringLiteral("Cannot move the downloaded file over %1").arg(target);
        discard();
        return false;
    }
    temp.close();
    tempPath.clear();
    persistent = false;
    writtenBack = 0;
    return true;
}

void StagedFile::discard()
{
    persistent = false;
    writtenBack = 0;
    temp.close();
    if (tempPath.isEmpty())
        return;
    QFile::remove(tempPath);
    tempPath.clear();
}

StagedFile::PartialOpen StagedFile::openPartial(const QString &path, const QString &partial)
{
    discard();
    target = path;
    error.clear();
    const PartialOpen opened = openNoFollow(temp, partial);
    if (opened != PartialOpen::Opened) {
        error = QStringLiteral("%1 is not a file that may be continued").arg(partial);
        return opened;
    }
    tempPath = partial;
    persistent = true;
    return opened;
}

bool StagedFile::inUse(const QString &path)
{
#if defined(Q_OS_UNIX)
    // One system call when there is no such file, as for nearly every download.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false; // none, or a link: nobody's file in the making
    struct stat info;
    const bool held =
        ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
#else
    Q_UNUSED(path)
    return false;
#endif
}

// Closed and opened again around the move: Windows cannot move a file that is open. A partial
// file that another launcher writes is not replaced.
bool StagedFile::makePersistent(const QString &partial)
{
    if (!temp.isOpen() || inUse(partial))
        return false;
    temp.close();
    if (!replaceFile(tempPath, partial)) {
        openNoFollow(temp, tempPath);
        return false;
    }
    tempPath = partial;
    persistent = openNoFollow(temp, partial) == PartialOpen::Opened;
    if (!persistent)
        error = QStringLiteral("%1 cannot be opened again").arg(partial);
    return persistent;
}

bool StagedFile::restart()
{
    writtenBack = 0;
    return temp.isOpen() && temp.resize(0) && temp.seek(0);
}

void StagedFile::release()
{
    persistent = false;
    writtenBack = 0;
    temp.close();
    tempPath.clear();
}
