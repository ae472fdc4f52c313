#pragma once

#include <QFile>
#include <QSet>
#include <QString>

// A download's file, written to a temporary file beside its target and moved over the target
// only when the transfer succeeded: until then the target keeps what it had. Unlike QSaveFile it
// does not flush each file to disk on its own; the queue flushes the whole run at once (see
// flushToDisk) before it records the version, which is far cheaper for many files.
class StagedFile
{
public:
    StagedFile() = default;
    StagedFile(const StagedFile &) = delete;
    StagedFile &operator=(const StagedFile &) = delete;
    ~StagedFile()
    {
        if (persistent)
            release();
        else
            discard();
    }

    // Creates the temporary file for `target`. False when the target is a folder or an existing
    // file that may not be written, or when no file can be created beside it.
    bool open(const QString &target);
    bool isOpen() const { return temp.isOpen(); }
    // True only when every byte was written.
    bool write(const QByteArray &bytes);
    // Moves the complete file over the target. On failure the temporary file is removed and the
    // target left as it was.
    bool commit();
    // Drops the temporary file; the target is not touched.
    void discard();

    // For resuming: continue writing at the end of the existing file `partial`, unless it is
    // no plain file or another launcher writes it (it holds the lock on it).
    enum class PartialOpen { Opened, Unusable, InUse };
    PartialOpen openPartial(const QString &target, const QString &partial);
    // Another launcher is writing the file at `path` (it holds the lock on it).
    static bool inUse(const QString &path);
    // Moves the temporary file to the fixed name `partial`, where it outlives the launcher.
    bool makePersistent(const QString &partial);
    bool isPersistent() const { return persistent; }
    // Starts the file again from its first byte.
    bool restart();
    // Closes the file and leaves it where it is, for a later start to continue.
    void release();
    qint64 size() const { return temp.size(); }

    // Removes what killed runs left in `folder` (their temporary files, none that a running
    // launcher still writes), once per folder. open() does it too, for the folder it writes in.
    void sweepLeftovers(const QString &folder);

    // The file that commit() replaces. A link there is replaced itself, not written through:
    // it could lead out of the game folder. (Linked folders on the way to it are followed.)
    QString targetPath() const { return target; }
    QString errorString() const { return error; }

private:
    void setWriteError();
    void startWriteBack(qint64 minimumBytes);

    QFile temp;
    QString tempPath; // opened from a descriptor, temp does not keep its name
    QString target;
    // Folders whose leftovers were removed already.
    QSet<QString> sweptFolders;
    QString error;
    bool persistent = false;
    qint64 writtenBack = 0; // the disk was asked to write the file up to here
};
