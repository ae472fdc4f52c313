#pragma once

#include "manifestreader.h"

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QVector>

#include <optional>

// A launcher release as the signed manifest's "launcher" member announces it:
//   {"version": "1.2",
//    "files": {"<platform>": [{"path": name, "url": URL, "size": n, "sha256": hex}, ...]},
//    "minimumOs": {"<platform>": "10.0.17763"}}
// Read only for the platform this launcher runs on.
struct LauncherFile
{
    QString path; // a plain file name inside the version's folder
    QUrl url;
    FileIntegrity integrity;
};

struct LauncherRelease
{
    QString version;
    QVector<LauncherFile> files;
    QString minimumOs; // empty: any
    QString problem;   // why the release cannot be used; nothing of it may be fetched
};

// "windows-x86_64", "linux-x86_64", or empty where no release is built.
QString launcherPlatform();
// The launcher's executable among a platform's files, and in each version folder.
QString launcherExecutable(const QString &platform);

// The member for `platform`; none when the manifest has no "launcher" member.
std::optional<LauncherRelease> readLauncherRelease(const QByteArray &manifest,
                                                   const QString &platform);

// A plain file name that means the same file on every system and never leads out of a folder.
bool isReleaseFileName(const QString &name);

// 1 to 4 decimal numbers separated by dots, compared part by part (missing parts are 0).
// Equal to the starter's rule, which names the folders by the same versions.
bool isReleaseVersion(const QString &text);
int compareReleaseVersions(const QString &a, const QString &b);
