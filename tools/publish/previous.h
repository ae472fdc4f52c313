#pragma once

#include "manifest.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Publish {

// The manifest that players get now, which a publication replaces: the one at the output path,
// or the one that --previous names (a file, or the URL that players fetch).
struct Previous
{
    QString source;        // its path or URL, for messages; empty when there is none
    QByteArray manifest;   // its bytes
    bool isSigned = false; // a signature was found beside it
    QString problem;       // why it could not be read; nothing is published then
    bool exists() const { return !source.isEmpty() && problem.isEmpty(); }
};

// The manifest at `path` and whether <path>.sig is beside it; none when there is no file.
Previous previousAt(const QString &path);

// The files that launchers at the previous manifest's version would not fetch, as
// "locale/name": those new in `urls`, and those whose size or SHA-256 differs from the
// previous manifest's integrity entry. Empty when the previous version differs from
// `version` (launchers then fetch every file) or could not be read. A file without an entry
// in the previous manifest cannot be compared, and is not listed.
QStringList unfetchedChanges(const QByteArray &previous, const QString &version,
                             const FileUrls &urls, const FileDigests &digests);

} // namespace Publish
