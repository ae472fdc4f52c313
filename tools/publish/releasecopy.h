#pragma once

#include "filedigest.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace Publish {

// The platforms that launchers update themselves on.
const QStringList &launcherPlatforms();

// One file of a launcher release.
struct LauncherFile
{
    QString platform;
    QString source;    // the file given to the publisher
    QString url;       // where launchers fetch the copy; set once copied
    FileDigest digest; // of the copy; set once copied
    QString name() const;
};

// A new launcher for the launchers to update themselves to, with the manifest: its files are
// copied into <folder>/launcher/<version>/<platform>/ and listed with their size and SHA-256.
struct LauncherRelease
{
    QString version;                  // 1 to 4 dot-separated numbers; empty: no release
    QList<LauncherFile> files;        // several per platform
    QMap<QString, QString> minimumOs; // platform -> the oldest OS version the files run on
    bool isEmpty() const { return version.isEmpty() && files.isEmpty() && minimumOs.isEmpty(); }
};

// What makes a release unusable as given (a malformed version, an unknown platform, files
// without a version or a version without files), or an empty string.
QString launcherUsageProblem(const LauncherRelease &release);

// What is wrong with the release's files (missing, badly named, listed twice, or a platform
// without its executable).
QStringList launcherFileProblems(const LauncherRelease &release);

// <folder>/launcher/<version>/<platform>/<name>, the place of a file's copy.
QString launcherCopyPath(const QString &folder, const QString &version, const LauncherFile &file);

// Copies every file into place, each under a temporary name renamed when complete, and sets its
// URL (under base) and the size and SHA-256 of the bytes copied. A copy that replaces other
// bytes is a warning: the signed manifest's hash tells launchers which bytes are right, but
// those at the version already do not fetch it again.
void copyLauncherFiles(const QString &folder, const QString &base, LauncherRelease &release,
                       QStringList *errors, QStringList *warnings);

} // namespace Publish
