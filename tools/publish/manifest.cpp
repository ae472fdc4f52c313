#include "manifest.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <climits>

namespace Publish {

namespace {

QJsonObject launcherMember(const LauncherRelease &launcher)
{
    // Sorted by name, so that the order of the options does not change the bytes.
    QMap<QString, QMap<QString, QJsonObject>> platforms;
    for (const LauncherFile &file : launcher.files)
        platforms[file.platform].insert(
            file.name(),
            QJsonObject{{QStringLiteral("path"), file.name()},
                        {QStringLiteral("url"), file.url},
                        {QStringLiteral("size"), file.digest.size},
                        {QStringLiteral("sha256"), QString::fromLatin1(file.digest.sha256)}});
    QJsonObject files;
    for (auto platform = platforms.cbegin(); platform != platforms.cend(); ++platform) {
        QJsonArray list;
        for (const QJsonObject &file : platform.value())
            list.append(file);
        files.insert(platform.key(), list);
    }
    QJsonObject member{{QStringLiteral("version"), launcher.version},
                       {QStringLiteral("files"), files}};
    if (!launcher.minimumOs.isEmpty()) {
        QJsonObject minimumOs;
        for (auto os = launcher.minimumOs.cbegin(); os != launcher.minimumOs.cend(); ++os)
            minimumOs.insert(os.key(), os.value());
        member.insert(QStringLiteral("minimumOs"), minimumOs);
    }
    return member;
}

} // namespace

QString versionProblem(const QString &version)
{
    static const QRegularExpression form(QStringLiteral("^([0-9]+)\\.([0-9]+)$"));
    const QRegularExpressionMatch match = form.match(version);
    if (!match.hasMatch())
        return QStringLiteral("must be major.minor, two numbers such as 1.3");
    bool majorOk = false;
    bool minorOk = false;
    const qint64 number =
        qint64(match.captured(1).toInt(&majorOk)) * 10 + match.captured(2).toInt(&minorOk);
    if (!majorOk || !minorOk || number > INT_MAX)
        return QStringLiteral("is too large");
    return QString();
}

QString versionWarning(const QString &version)
{
    const QStringList parts = version.split(QLatin1Char('.'));
    if (parts.size() != 2 || parts.at(1).toInt() < 10)
        return QString();
    const int number = parts.at(0).toInt() * 10 + parts.at(1).toInt();
    return QStringLiteral("the launcher compares versions as major * 10 + minor, so ") + version +
           QStringLiteral(" counts the same as ") + QString::number(number / 10) +
           QLatin1Char('.') + QString::number(number % 10);
}

QString dateProblem(const QString &date)
{
    static const QRegularExpression form(QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2}$"));
    if (!form.match(date).hasMatch() || !QDate::fromString(date, Qt::ISODate).isValid())
        return QStringLiteral("must be a date written YYYY-MM-DD");
    return QString();
}

QByteArray manifestJson(const QString &date, const QString &version, const FileUrls &urls,
                        const FileDigests &digests, qint64 serial, const QString &expires,
                        const QByteArray &publicKey, const QString &base,
                        const QStringList &mirrors, const LauncherRelease &launcher)
{
    const QJsonObject versionElement{{QStringLiteral("date"), date},
                                     {QStringLiteral("version"), version}};
    QJsonObject locales;
    for (auto locale = urls.cbegin(); locale != urls.cend(); ++locale) {
        QJsonObject files;
        for (auto file = locale.value().cbegin(); file != locale.value().cend(); ++file)
            files.insert(file.key(), file.value());
        locales.insert(locale.key(), files);
    }
    QJsonObject integrity;
    for (auto digest = digests.cbegin(); digest != digests.cend(); ++digest)
        integrity.insert(digest.key(), QJsonObject{{QStringLiteral("size"), digest.value().size},
                                                   {QStringLiteral("sha256"),
                                                    QString::fromLatin1(digest.value().sha256)}});
    QJsonObject security{{QStringLiteral("serial"), serial}};
    if (!expires.isEmpty())
        security.insert(QStringLiteral("expires"), expires);
    if (!publicKey.isEmpty())
        security.insert(QStringLiteral("key"), QString::fromLatin1(publicKey));
    QJsonObject manifest{{QStringLiteral("wsection"), QJsonArray{versionElement, locales}},
                         {QStringLiteral("integrity"), integrity},
                         {QStringLiteral("security"), security}};
    if (!mirrors.isEmpty())
        manifest.insert(QStringLiteral("mirrors"),
                        QJsonObject{{QStringLiteral("base"), base},
                                    {QStringLiteral("urls"), QJsonArray::fromStringList(mirrors)}});
    if (!launcher.version.isEmpty())
        manifest.insert(QStringLiteral("launcher"), launcherMember(launcher));
    return QJsonDocument(manifest).toJson(QJsonDocument::Indented);
}

} // namespace Publish
