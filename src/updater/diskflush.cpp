#include "diskflush.h"

#include <QFile>
#include <QFileInfo>
#include <QRunnable>
#include <QSet>
#include <QThreadPool>

#if defined(Q_OS_UNIX)
#include <fcntl.h>
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <io.h>
#include <windows.h>
#endif

namespace {

#if defined(Q_OS_UNIX)
QSet<QString> foldersOf(const QStringList &files)
{
    QSet<QString> folders;
    for (const QString &file : files)
        folders.insert(QFileInfo(file).absolutePath());
    return folders;
}

// Opens read-only and hands the descriptor to `sync`; folders can be opened this way too.
template <typename Sync> bool syncPath(const QString &path, Sync sync)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = sync(fd) == 0;
    ::close(fd);
    return ok;
}
#endif

#if defined(Q_OS_LINUX)
// One syncfs per file system writes back everything the run wrote there, file data and folder
// entries alike, in one go instead of a disk flush per file.
bool flush(const QStringList &files)
{
    bool ok = true;
    for (const QString &folder : foldersOf(files))
        ok = syncPath(folder, ::syncfs) && ok;
    return ok;
}
#elif defined(Q_OS_UNIX)
bool flush(const QStringList &files)
{
    bool ok = true;
    for (const QString &file : files)
        ok = syncPath(file, ::fsync) && ok;
    for (const QString &folder : foldersOf(files))
        ok = syncPath(folder, ::fsync) && ok;
    return ok;
}
#elif defined(Q_OS_WIN)
// The moves were written through already (StagedFile); the files' contents are flushed here.
bool flush(const QStringList &files)
{
    bool ok = true;
    for (const QString &file : files) {
        QFile handle(file);
        ok = handle.open(QIODevice::ReadWrite) &&
             FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(handle.handle()))) && ok;
    }
    return ok;
}
#else
bool flush(const QStringList &)
{
    return true;
}
#endif

#if defined(Q_OS_LINUX)
class WriteBack final : public QRunnable
{
public:
    WriteBack(int fd, qint64 offset, qint64 length) : fd(fd), offset(offset), length(length) {}
    void run() override
    {
        ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
        ::close(fd);
    }

private:
    const int fd;
    const qint64 offset;
    const qint64 length;
};
#endif

} // namespace

bool flushToDisk(const QStringList &files)
{
    return files.isEmpty() || flush(files);
}

void startWritingToDisk(QFileDevice &file, qint64 offset, qint64 length)
{
#if defined(Q_OS_LINUX)
    // On a pool thread, with a descriptor of its own: the call waits while a slow disk's queue
    // is full, and the window must not; the file may be closed meanwhile.
    const int fd = ::fcntl(file.handle(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return;
    QThreadPool::globalInstance()->start(new WriteBack(fd, offset, length));
#else
    Q_UNUSED(file)
    Q_UNUSED(offset)
    Q_UNUSED(length)
#endif
}
