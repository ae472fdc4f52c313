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
// from base. skipFile (the manifest itself, if it lies inside a locale folder) is left out.
FolderScan scanUpdateFolder(const QString &folder, const QString &base, const QString &skipFile);

} // namespace Publish
