#include "launcherrelease.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

namespace {

QVector<quint64> parts(const QString &version)
{
    QVector<quint64> numbers;
    const QStringList texts = version.split(QLatin1Char('.'));
    for (const QString &text : texts)
        numbers.append(text.toULongLong());
    numbers.resize(4);
    return numbers;
}

QString readFiles(const QJsonValue &list, const QString &platform, LauncherRelease &release)
{
    if (!list.isArray() || list.toArray().isEmpty())
        return QStringLiteral("no files for %1").arg(platform);
    QSet<QString> seen;
    for (const QJsonValue &value : list.toArray()) {
        const QJsonObject entry = value.toObject();
        LauncherFile file;
        file.path = entry.value(QLatin1String("path")).toString();
        if (!isReleaseFileName(file.path) || seen.contains(file.path.toLower()))
            return QStringLiteral("the file name \"%1\" cannot be used").arg(file.path);
        seen.insert(file.path.toLower());
        const QString url = entry.value(QLatin1String("url")).toString();
        file.url = QUrl(url, QUrl::StrictMode);
        if (!file.url.isValid() || file.url.host().isEmpty() ||
            (file.url.scheme() != QLatin1String("http") &&
             file.url.scheme() != QLatin1String("https")))
            return QStringLiteral("%1: \"%2\" is not an http(s) URL").arg(file.path, url);
        file.integrity = readIntegrityEntry(entry);
        if (!file.integrity.isValid())
            return QStringLiteral("%1: %2").arg(file.path, file.integrity.problem);
        release.files.append(file);
    }
    if (!seen.contains(launcherExecutable(platform)))
        return QStringLiteral("no %1 among the files").arg(launcherExecutable(platform));
    return {};
}

} // namespace

QString launcherPlatform()
{
#if defined(Q_OS_WIN) && defined(Q_PROCESSOR_X86_64)
    return QStringLiteral("windows-x86_64");
#elif defined(Q_OS_LINUX) && defined(Q_PROCESSOR_X86_64)
    return QStringLiteral("linux-x86_64");
#else
    return {};
#endif
}

QString launcherExecutable(const QString &platform)
{
    return platform.startsWith(QLatin1String("windows")) ? QStringLiteral("embercrest-launcher.exe")
                                                         : QStringLiteral("embercrest-launcher");
}

bool isReleaseFileName(const QString &name)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_-][A-Za-z0-9._-]{0,99}$"));
    return plain.match(name).hasMatch();
}

bool isReleaseVersion(const QString &text)
{
    static const QRegularExpression version(QStringLiteral("^[0-9]{1,9}(\\.[0-9]{1,9}){0,3}$"));
    return version.match(text).hasMatch();
}

int compareReleaseVersions(const QString &a, const QString &b)
{
    const QVector<quint64> left = parts(a);
    const QVector<quint64> right = parts(b);
    for (int i = 0; i < 4; ++i) {
        if (left.at(i) != right.at(i))
            return left.at(i) < right.at(i) ? -1 : 1;
    }
    return 0;
}

std::optional<LauncherRelease> readLauncherRelease(const QByteArray &manifest,
                                                   const QString &platform)
{
    // A manifest without the member, the common case, is not parsed a second time.
    if (!manifest.contains("\"launcher\""))
        return std::nullopt;
    const QJsonObject top = QJsonDocument::fromJson(manifest).object();
    if (!top.contains(QLatin1String("launcher")))
        return std::nullopt;
    const QJsonObject member = top.value(QLatin1String("launcher")).toObject();
    LauncherRelease release;
    release.version = member.value(QLatin1String("version")).toString();
    const QJsonValue minimum = member.value(QLatin1String("minimumOs")).toObject().value(platform);
    if (!isReleaseVersion(release.version))
        release.problem =
            QStringLiteral("the version \"%1\" is not a version number").arg(release.version);
    else if (platform.isEmpty())
        release.problem = QStringLiteral("no launcher is built for this system");
    else if (!minimum.isUndefined() && !isReleaseVersion(minimum.toString()))
        release.problem = QStringLiteral("the minimum system version is not a version number");
    else
        release.problem = readFiles(member.value(QLatin1String("files")).toObject().value(platform),
                                    platform, release);
    release.minimumOs = minimum.toString();
    if (!release.problem.isEmpty())
        release.files.clear();
    return release;
}
