#include "filedigest.h"

#include "updater/sha256.h"

#include <QFileInfo>

namespace Publish {

FileDigest digestFile(const QString &path)
{
    FileDigest digest;
    // The launcher's own hashing, so that both sides agree on what a file's digest is.
    const qint64 size = QFileInfo(path).size();
    Sha256 hash;
    if (!hash.addFile(path, size)) {
        digest.problem = QStringLiteral("cannot read the whole file");
        return digest;
    }
    digest.size = size;
    digest.sha256 = hash.hexResult();
    return digest;
}

} // namespace Publish
