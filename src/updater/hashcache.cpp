#include "hashcache.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace {

// The first line of the store. A store without it (or with another one) is of an older kind,
// whose stamps would be read wrongly: it is left unread.
const QByteArray kVersionLine = "embercrest-hashcache 2";

} // namespace

FileStamp FileStamp::of(const QString &path)
{
    FileStamp stamp;
#ifdef Q_OS_WIN
    // Only the attributes are asked for: no other opener's sharing mode can refuse that.
    const HANDLE file =
        CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                    FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return stamp;
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    const bool read = GetFileInformationByHandle(file, &info) &&
                      GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic);
    CloseHandle(file);
    if (!read || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return stamp;
    const quint64 written =
        (quint64(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
    stamp.exists = true;
    stamp.size = qint64((quint64(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    // 100 ns units since 1601 to ms since 1970.
    stamp.modifiedMs = qint64(written / 10000) - Q_INT64_C(11644473600000);
    stamp.device = info.dwVolumeSerialNumber;
    stamp.inode = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    stamp.changed = basic.ChangeTime.QuadPart;
#else
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return stamp;
#ifdef Q_OS_DARWIN
    const timespec &modified = info.st_mtimespec;
    const timespec &changed = info.st_ctimespec;
#else
    const timespec &modified = info.st_mtim;
    const timespec &changed = info.st_ctim;
#endif
    stamp.exists = true;
    stamp.size = qint64(info.st_size);
    stamp.modifiedMs = qint64(modified.tv_sec) * 1000 + modified.tv_nsec / 1000000;
    stamp.device = quint64(info.st_dev);
    stamp.inode = quint64(info.st_ino);
    stamp.changed = qint64(changed.tv_sec) * 1000000000 + changed.tv_nsec;
#endif
    return stamp;
}

QByteArray HashCache::lookup(const QString &path, const FileStamp &stamp)
{
    load();
    const auto found = entries.constFind(path);
    if (!stamp.exists || found == entries.constEnd() || !(found->stamp == stamp))
        return QByteArray();
    return found->sha256;
}

void HashCache::remember(const QString &path, const FileStamp &stamp, const QByteArray &sha256)
{
    load();
    if (!stamp.exists || sha256.size() != 64)
        return;
    entries.insert(path, {stamp, sha256});
    dirty = true;
}

void HashCache::forget(const QString &path)
{
    load();
    dirty = entries.remove(path) > 0 || dirty;
}

// A damaged or foreign line is skipped: the worst it can cost is hashing that file again.
void HashCache::load()
{
    if (loaded)
        return;
    loaded = true;
    if (store.isEmpty())
        return; // remembered for this process only
    QFile file(store);
    if (!file.open(QIODevice::ReadOnly) || file.readLine(64).trimmed() != kVersionLine)
        return;
    while (!file.atEnd()) {
        QByteArray line = file.readLine(64 * 1024);
        if (!line.endsWith('\n'))
            continue;
        line.chop(1);
        // Six fields, then the path, which may hold spaces.
        QList<QByteArray> fields;
        int from = 0;
        while (fields.size() < 6) {
            const int space = line.indexOf(' ', from);
            if (space < 0)
                break;
            fields.append(line.mid(from, space - from));
            from = space + 1;
        }
        if (fields.size() < 6 || fields.at(0).size() != 64 || from >= line.size())
            continue;
        bool ok[5] = {};
        Entry entry;
        entry.sha256 = fields.at(0);
        entry.stamp.exists = true;
        entry.stamp.size = fields.at(1).toLongLong(&ok[0]);
        entry.stamp.modifiedMs = fields.at(2).toLongLong(&ok[1]);
        entry.stamp.device = fields.at(3).toULongLong(&ok[2]);
        entry.stamp.inode = fields.at(4).toULongLong(&ok[3]);
        entry.stamp.changed = fields.at(5).toLongLong(&ok[4]);
        if (ok[0] && ok[1] && ok[2] && ok[3] && ok[4])
            entries.insert(QString::fromUtf8(line.mid(from)), entry);
    }
}

bool HashCache::save()
{
    if (!dirty)
        return true;
    QSaveFile file(store);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(kVersionLine + '\n');
    for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
        // Files that are gone are not remembered any longer.
        if (!QFileInfo::exists(it.key()))
            continue;
        const FileStamp &stamp = it->stamp;
        file.write(it->sha256 + ' ' + QByteArray::number(stamp.size) + ' ' +
                   QByteArray::number(stamp.modifiedMs) + ' ' + QByteArray::number(stamp.device) +
                   ' ' + QByteArray::number(stamp.inode) + ' ' + QByteArray::number(stamp.changed) +
                   ' ' + it.key().toUtf8() + '\n');
    }
    dirty = !file.commit();
    return !dirty;
}
