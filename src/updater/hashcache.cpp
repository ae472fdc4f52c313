#include "hashcache.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

FileStamp FileStamp::of(const QString &path)
{
    const QFileInfo info(path);
    FileStamp stamp;
    if (!info.isFile())
        return stamp;
    stamp.exists = true;
    stamp.size = info.size();
    stamp.modifiedMs = info.lastModified().toMSecsSinceEpoch();
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
    QFile file(store);
    if (!file.open(QIODevice::ReadOnly))
        return;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine(64 * 1024).chopped(1);
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 4 || fields.at(0).size() != 64)
            continue;
        bool sizeOk = false, timeOk = false;
        Entry entry;
        entry.stamp.exists = true;
        entry.stamp.size = fields.at(1).toLongLong(&sizeOk);
        entry.stamp.modifiedMs = fields.at(2).toLongLong(&timeOk);
        entry.sha256 = fields.at(0);
        const int pathStart = fields.at(0).size() + fields.at(1).size() + fields.at(2).size() + 3;
        if (sizeOk && timeOk)
            entries.insert(QString::fromUtf8(line.mid(pathStart)), entry);
    }
}

bool HashCache::save()
{
    if (!dirty)
        return true;
    QSaveFile file(store);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
        // Files that are gone are not remembered any longer.
        if (!QFileInfo::exists(it.key()))
            continue;
        file.write(it->sha256 + ' ' + QByteArray::number(it->stamp.size) + ' ' +
                   QByteArray::number(it->stamp.modifiedMs) + ' ' + it.key().toUtf8() + '\n');
    }
    dirty = !file.commit();
    return !dirty;
}
