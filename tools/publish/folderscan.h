#pragma once

#include "manifest.h"

#include <QStringList>

namespace Publish {

struct FolderScan
{
    FileUrls urls;
    QStringList errors;
    QStringList warnings;
    int fileCount = 0;
};

// Lists <folder>/<locale>/<files> for the launcher's locale codes and makes each file's URL
// from base. skipFiles (absolute paths: the manifest and its signature, if they lie inside a
// locale folder) are left out, and so is <folder>/launcher/, where launcher releases go.
FolderScan scanUpdateFolder(const QString &folder, const QString &base,
                            const QStringList &skipFiles);

} // namespace Publish
