#pragma once

#include <QByteArray>
#include <QString>

namespace Publish {

struct FileDigest
{
    qint64 size = -1;
    QByteArray sha256; // 64 lowercase hex digits
    QString problem;   // why the file could not be read; empty on success
};

// Size and SHA-256 of a file, read in blocks: a file of any size costs one block of memory.
FileDigest digestFile(const QString &path);

} // namespace Publish
