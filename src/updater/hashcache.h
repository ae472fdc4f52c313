#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// Size and modification time of a file: while both stay, its content is taken to be the same.
struct FileStamp
{
    bool exists = false;
    qint64 size = -1;
    qint64 modifiedMs = 0;
    bool operator==(const FileStamp &other) const
    {
        return exists == other.exists && size == other.size && modifiedMs == other.modifiedMs;
    }
    static FileStamp of(const QString &path);
};

// SHA-256 of files by path, remembered with their stamp across starts of the launcher, so that
// deciding whether gigabytes of unchanged data need fetching costs a stat per file, not a read.
// Kept in a small text file (one "hash size time path" line per file), replaced atomically.
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
