#include "launcherinstall.h"

#include "launcherrelease.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

namespace {

const QString kHealthy = QStringLiteral("healthy");
const QString kBlocked = QStringLiteral("blocked");
const QString kStaging = QStringLiteral(".staging");
const QString kRemoving = QStringLiteral(".removing");

QString executableName()
{
    return launcherExecutable(launcherPlatform());
}

} // namespace

LauncherInstall LauncherInstall::current()
{
    LauncherInstall install;
    install.own = QStringLiteral(EMBERCREST_LAUNCHER_VERSION);
#ifdef EMBERCREST_PACKAGED
    install.what = Kind::Package;
    return install;
#else
    const QString root = QString::fromLocal8Bit(qgetenv("EMBERCREST_STARTER"));
    const QDir own(QCoreApplication::applicationDirPath());
    // Only a launcher that the starter ran from its own versions folder: a variable inherited
    // by something else (a game started from the launcher, say) makes no installation.
    if (root.isEmpty() || !isReleaseVersion(own.dirName()) ||
        QFileInfo(own.absoluteFilePath(QStringLiteral("../.."))).canonicalFilePath() !=
            QFileInfo(root).canonicalFilePath() ||
        QFileInfo(own.absolutePath()).dir().dirName() != QLatin1String("versions"))
        return install;
    return versioned(QFileInfo(root).canonicalFilePath(), own.dirName());
#endif
}

LauncherInstall LauncherInstall::versioned(const QString &root, const QString &version)
{
    LauncherInstall install;
    install.what = Kind::Versioned;
    install.top = root;
    install.own = version;
    return install;
}

QString LauncherInstall::folderOf(const QString &version) const
{
    return top + QStringLiteral("/versions/") + version;
}

bool LauncherInstall::has(const QString &version) const
{
    return QFileInfo(folderOf(version) + QLatin1Char('/') + executableName()).isFile();
}

bool LauncherInstall::isBlocked(const QString &version) const
{
    return QFileInfo::exists(folderOf(version) + QLatin1Char('/') + kBlocked);
}

QString LauncherInstall::notWritable() const
{
    const QString versions = top + QStringLiteral("/versions");
    QTemporaryFile probe(versions + QStringLiteral("/write-test-XXXXXX"));
    if (!QDir().mkpath(versions) || !probe.open())
        return QStringLiteral("%1 is not writable").arg(QDir::toNativeSeparators(versions));
    return {};
}

QString LauncherInstall::stagingFolder(const QString &version) const
{
    return folderOf(version) + kStaging;
}

bool LauncherInstall::promote(const QString &version, QString *problem) const
{
    // Downloads are written as plain files; the starter has to be able to run this one.
    QFile program(stagingFolder(version) + QLatin1Char('/') + executableName());
    const QFile::Permissions runnable = QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup |
                                        QFile::ExeOther | QFile::ReadOwner | QFile::ReadUser |
                                        QFile::ReadGroup | QFile::ReadOther | QFile::WriteOwner |
                                        QFile::WriteUser;
    if (!program.setPermissions(runnable)) {
        *problem = QStringLiteral("%1 cannot be made executable")
                       .arg(QDir::toNativeSeparators(program.fileName()));
        return false;
    }
    QDir versions(top + QStringLiteral("/versions"));
    if (versions.rename(version + kStaging, version))
        return true;
    *problem = QStringLiteral("%1 could not be renamed to %2")
                   .arg(QDir::toNativeSeparators(stagingFolder(version)),
                        QDir::toNativeSeparators(folderOf(version)));
    return false;
}

bool LauncherInstall::onTrial() const
{
    return what == Kind::Versioned &&
           !QFileInfo::exists(folderOf(own) + QLatin1Char('/') + kHealthy);
}

void LauncherInstall::declareHealthy() const
{
    if (what != Kind::Versioned)
        return;
    QFile mark(folderOf(own) + QLatin1Char('/') + kHealthy);
    if (!mark.exists())
        (void)mark.open(QIODevice::WriteOnly);
    tidy();
}

void LauncherInstall::tidy() const
{
    if (what != Kind::Versioned || onTrial())
        return;
    // What a rollback from this version would run: the newest healthy one below it.
    QString fallback;
    QDir versions(top + QStringLiteral("/versions"));
    const QStringList names = versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (isReleaseVersion(name) && compareReleaseVersions(name, own) < 0 &&
            QFileInfo::exists(folderOf(name) + QLatin1Char('/') + kHealthy) &&
            (fallback.isEmpty() || compareReleaseVersions(name, fallback) > 0))
            fallback = name;
    }
    for (const QString &name : names) {
        if (name.endsWith(kRemoving)) {
            QDir(versions.absoluteFilePath(name)).removeRecursively();
            continue;
        }
        const bool staging = name.endsWith(kStaging);
        const QString version = staging ? name.chopped(kStaging.size()) : name;
        if (!isReleaseVersion(version) || compareReleaseVersions(version, own) > 0 ||
            (!staging && (version == own || version == fallback)))
            continue;
        // Renamed out of the starter's sight first, so it never finds half a version. A
        // folder whose program still runs (Windows holds it) stays whole for a later start.
        if (versions.rename(name, name + kRemoving))
            QDir(versions.absoluteFilePath(name + kRemoving)).removeRecursively();
    }
}
