#pragma once

#include <QFile>
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
    ~StagedFile() { discard(); }

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

    // The file that commit() replaces (symbolic links followed, as QSaveFile does).
    QString targetPath() const { return target; }
    QString errorString() const { return error; }

private:
    void setWriteError();

    QFile temp;
    QString target;
    QString error;
};
