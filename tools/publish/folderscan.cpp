#include "folderscan.h"

#include "config/config.h"
#include "filename.h"
#include "fileurl.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace Publish {

namespace {

QFileInfoList sortedEntries(const QString &path)
{
    QFileInfoList entries =
        QDir(path).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    std::sort(entries.begin(), entries.end(),
              [](const QFileInfo &a, const QFileInfo &b) { return a.fileName() < b.fileName(); });
    return entries;
}

void scanLocale(const QFileInfo &localeDir, const QString &base, const QStringList &skipFiles,
                FolderScan &scan)
{
    const QString locale = localeDir.fileName();
    QMap<QString, QString> &files = scan.urls[locale];
    for (const QFileInfo &entry : sortedEntries(localeDir.filePath())) {
        const QString shown = locale + QLatin1Char('/') + entry.fileName();
        if (!entry.isFile()) {
            scan.warnings << shown +
                                 QStringLiteral(": skipped, not a file (the launcher saves "
                                                "files straight into Data/") +
                                 locale + QLatin1Char(')');
            continue;
        }
        if (skipFiles.contains(entry.absoluteFilePath()))
            continue;
        const QString problem = nameProblem(entry.fileName());
        const QString url = fileUrl(base, locale, entry.fileName());
        if (!problem.isEmpty())
            scan.errors << shown + QStringLiteral(": the name ") + problem;
        else if (!launcherMapsBack(url, base, locale, entry.fileName()))
            scan.errors << shown + QStringLiteral(": the launcher would not save ") + url +
                               QStringLiteral(" under this name");
        else {
            files.insert(entry.fileName(), url);
            ++scan.fileCount;
        }
    }
}

} // namespace

FolderScan scanUpdateFolder(const QString &folder, const QString &base,
                            const QStringList &skipFiles)
{
    FolderScan scan;
    const QStringList &codes = Config::localeCodes();
    for (const QFileInfo &entry : sortedEntries(folder)) {
        if (!entry.isDir())
            continue;
        if (codes.contains(entry.fileName()))
            scanLocale(entry, base, skipFiles, scan);
        else if (entry.fileName() == QLatin1String("launcher"))
            continue; // launcher releases, listed by their own member
        else
            scan.warnings << entry.fileName() + QStringLiteral(": skipped, not a locale folder (") +
                                 codes.join(QStringLiteral(", ")) + QLatin1Char(')');
    }
    if (scan.urls.isEmpty())
        scan.errors << folder + QStringLiteral(": no locale folder (") +
                           codes.join(QStringLiteral(", ")) + QStringLiteral(") in it");
    return scan;
}

} // namespace Publish
