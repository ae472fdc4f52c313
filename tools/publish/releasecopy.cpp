#include "releasecopy.h"

#include "filename.h"
#include "fileurl.h"
#include "updater/launcherrelease.h"
#include "updater/sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <memory>
#include <vector>

namespace Publish {

namespace {

// Launchers save each file under this name beside their executable: plain letters only, so
// that the name means the same on every file system and in a URL.
QString launcherNameProblem(const QString &name)
{
    if (!isReleaseFileName(name))
        return QStringLiteral("may hold only A-Z, a-z, 0-9, '.', '_' and '-', must not start "
                              "with a dot, and has at most 100 of them");
    return nameProblem(name);
}

constexpr qint64 kCopyBlock = 1 << 20;

// Writes the source into a staged file, hashing the bytes as they are written.
bool stageCopy(const QString &source, QSaveFile &copy, FileDigest &digest, QString *problem)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        *problem = source + QStringLiteral(": cannot read: ") + in.errorString();
        return false;
    }
    const QString folder = QFileInfo(copy.fileName()).absolutePath();
    if (!QDir().mkpath(folder)) {
        *problem = folder + QStringLiteral(": cannot create folder");
        return false;
    }
    if (!copy.open(QIODevice::WriteOnly)) {
        *problem = copy.fileName() + QStringLiteral(": cannot write: ") + copy.errorString();
        return false;
    }
    Sha256 hash;
    qint64 size = 0;
    while (true) {
        const QByteArray block = in.read(kCopyBlock);
        if (block.isEmpty()) {
            if (in.error() != QFileDevice::NoError || !in.atEnd()) {
                *problem = source + QStringLiteral(": cannot read: ") + in.errorString();
                return false;
            }
            break;
        }
        if (copy.write(block) != block.size()) {
            *problem = copy.fileName() + QStringLiteral(": cannot write: ") + copy.errorString();
            return false;
        }
        hash.addData(block);
        size += block.size();
    }
    digest.size = size;
    digest.sha256 = hash.hexResult();
    return true;
}

} // namespace

const QStringList &launcherPlatforms()
{
    static const QStringList platforms{QStringLiteral("linux-x86_64"),
                                       QStringLiteral("windows-x86_64")};
    return platforms;
}

QString LauncherFile::name() const
{
    return QFileInfo(source).fileName();
}

QString launcherUsageProblem(const LauncherRelease &release)
{
    if (release.isEmpty())
        return QString();
    if (release.version.isEmpty())
        return QStringLiteral("--launcher-file and --launcher-minimum-os need "
                              "--launcher-version");
    if (!isReleaseVersion(release.version))
        return QStringLiteral("launcher version \"") + release.version +
               QStringLiteral(
                   "\" must be 1 to 4 numbers of up to 9 digits, separated by dots, such as 1.2");
    if (release.files.isEmpty())
        return QStringLiteral("--launcher-version needs --launcher-file");
    const QString platforms = launcherPlatforms().join(QStringLiteral(", "));
    for (const LauncherFile &file : release.files) {
        if (!launcherPlatforms().contains(file.platform))
            return QStringLiteral("launcher platform \"") + file.platform +
                   QStringLiteral("\" is none of ") + platforms;
        if (file.source.isEmpty())
            return QStringLiteral("--launcher-file ") + file.platform +
                   QStringLiteral("= needs a file");
    }
    for (auto os = release.minimumOs.cbegin(); os != release.minimumOs.cend(); ++os) {
        if (!launcherPlatforms().contains(os.key()))
            return QStringLiteral("launcher platform \"") + os.key() +
                   QStringLiteral("\" is none of ") + platforms;
        if (!isReleaseVersion(os.value()))
            return QStringLiteral("minimum OS version \"") + os.value() +
                   QStringLiteral("\" must be 1 to 4 numbers of up to 9 digits, separated by dots, "
                                  "such as 10.0.17763");
        const bool hasFiles =
            std::any_of(release.files.cbegin(), release.files.cend(),
                        [&](const LauncherFile &file) { return file.platform == os.key(); });
        if (!hasFiles)
            return QStringLiteral("--launcher-minimum-os ") + os.key() +
                   QStringLiteral(" is given, but no --launcher-file for it");
    }
    return QString();
}

QStringList launcherFileProblems(const LauncherRelease &release)
{
    QStringList problems;
    QMap<QString, QStringList> names;  // platform -> names
    QMap<QString, QStringList> folded; // the same in lower case: Windows does not tell case
    for (const LauncherFile &file : release.files) {
        const QFileInfo info(file.source);
        const QString shown = file.platform + QLatin1Char('=') + file.source;
        if (!info.exists())
            problems << shown + QStringLiteral(": no such file");
        else if (!info.isFile())
            problems << shown + QStringLiteral(": not a file");
        else if (const QString problem = launcherNameProblem(file.name()); !problem.isEmpty())
            problems << shown + QStringLiteral(": the name ") + problem;
        else if (folded[file.platform].contains(file.name().toLower()))
            problems << shown + QStringLiteral(": a file named ") + file.name() +
                            QStringLiteral(" is listed for ") + file.platform +
                            QStringLiteral(" already");
        names[file.platform] << file.name();
        folded[file.platform] << file.name().toLower();
    }
    for (auto platform = names.cbegin(); platform != names.cend(); ++platform) {
        const QString executable = launcherExecutable(platform.key());
        if (!platform.value().contains(executable))
            problems << QStringLiteral("the launcher files for ") + platform.key() +
                            QStringLiteral(" do not include the launcher, ") + executable;
    }
    return problems;
}

QString launcherCopyPath(const QString &folder, const QString &version, const LauncherFile &file)
{
    return QDir(folder).filePath(QStringLiteral("launcher/") + version + QLatin1Char('/') +
                                 file.platform + QLatin1Char('/') + file.name());
}

void copyLauncherFiles(const QString &folder, const QString &base, LauncherRelease &release,
                       QStringList *errors, QStringList *warnings)
{
    // Every copy is written out in full before any replaces its file: a failed copy leaves the
    // files that an earlier manifest lists as they were.
    std::vector<std::unique_ptr<QSaveFile>> copies;
    for (LauncherFile &file : release.files) {
        const QString copyPath = launcherCopyPath(folder, release.version, file);
        copies.push_back(std::make_unique<QSaveFile>(copyPath));
        QString problem;
        if (!stageCopy(file.source, *copies.back(), file.digest, &problem)) {
            *errors << problem;
            return;
        }
        // Launchers that took this version already do not fetch it again.
        if (QFileInfo(copyPath).isFile()) {
            const FileDigest before = digestFile(copyPath);
            if (before.size != file.digest.size || before.sha256 != file.digest.sha256)
                *warnings << copyPath +
                                 QStringLiteral(": replaced with other bytes; launchers that "
                                                "updated to %1 before keep the old ones")
                                     .arg(release.version);
        }
        file.url = fileUrl(
            base, QStringLiteral("launcher/") + release.version + QLatin1Char('/') + file.platform,
            file.name());
    }
    for (const std::unique_ptr<QSaveFile> &copy : copies) {
        if (!copy->commit()) {
            *errors << copy->fileName() + QStringLiteral(": cannot write: ") + copy->errorString();
            return;
        }
    }
}

} // namespace Publish
