#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// What tells a file's content without reading it: its size and modification time, which file it
// is (device and inode; on Windows the volume serial and file index) and when its metadata last
// changed (ctime; Windows' ChangeTime). A file put in place by a rename, or rewritten with its
// old size and mtime put back (cp -p), keeps the first two but not the others: the change time
// is the system's, not one that a copying tool can set.
struct FileStamp
{
    bool exists = false;
    qint64 size = -1;
    qint64 modifiedMs = 0;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 changed = 0; // ns since 1970 (Unix), 100 ns units since 1601 (Windows)
    bool operator==(const FileStamp &other) const
    {
        return exists == other.exists && size == other.size && modifiedMs == other.modifiedMs &&
               device == other.device && inode == other.inode && changed == other.changed;
    }
    static FileStamp of(const QString &path);
};

// SHA-256 of files by path, remembered with their stamp across starts of the launcher, so that
// deciding whether gigabytes of unchanged data need fetching costs a stat per file, not a read.
// Kept in a small text file, replaced atomically: a version line, then one "hash size mtime
// device inode ctime path" line per file. A file of another version is not read at all: every
// file is hashed once more instead.
class HashCache
{
public:
    explicit HashCache(const QString &storePath) : store(storePath) {}

    // The remembered hash while the file still has `stamp`; otherwise empty.
    QByteArray lookup(const QString &path, const FileStamp &stamp);
    void remember(const QString &path, const FileStamp &stamp, const QByteArray &sha256);
    void forget(const QString &path);
    // Writes the store when something changed; false when it could not be written.
    bool save();

private:
    struct Entry
    {
        FileStamp stamp;
        QByteArray sha256;
    };
    void load();

    QString store;
    QHash<QString, Entry> entries;
    bool loaded = false;
    bool dirty = false;
};
