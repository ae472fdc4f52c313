#include "manifestreader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>

namespace {

const QString kInstalled = QStringLiteral("1");
const QString kNotInstalled = QStringLiteral("0");

// Every installed locale's files and every locale that is not installed, as one element holds
// them; members come in ascending order of their names, as QJsonObject keeps them.
void readLocales(const QJsonObject &element, const LocaleFlagLookup &flagOf,
                 QVector<ManifestFinding> &findings)
{
    for (auto member = element.begin(); member != element.end(); ++member) {
        const QString locale = member.key();
        const QString flag = flagOf(locale);
        if (flag == kNotInstalled) {
            findings.append({ManifestFinding::Kind::LocaleNotInstalled, locale, QString()});
            continue;
        }
        if (flag != kInstalled)
            continue;
        const QJsonObject files = member.value().toObject();
        for (auto file = files.begin(); file != files.end(); ++file) {
            const QString url = file.value().toString();
            if (!url.isEmpty())
                findings.append({ManifestFinding::Kind::FileListed, locale, url});
        }
    }
}

} // namespace

std::optional<qint64> versionNumber(const QString &versionText)
{
    const QStringList parts = versionText.split(QLatin1Char('.'));
    if (parts.size() < 2)
        return std::nullopt;
    // qint64, so that two large parts cannot overflow.
    return qint64(parts.at(0).toInt()) * 10 + parts.at(1).toInt();
}

ManifestReading readManifest(const QByteArray &manifest, const QString &localVersion,
                             const LocaleFlagLookup &flagOf)
{
    ManifestReading reading;
    const QJsonValue section =
        QJsonDocument::fromJson(manifest).object().value(QLatin1String("wsection"));
    if (!section.isArray())
        return reading;
    const QJsonArray elements = section.toArray();
    if (elements.isEmpty())
        return reading;

    // The version element's member names are free: the second one in name order holds the
    // version text.
    const QJsonObject versionElement = elements.at(0).toObject();
    if (versionElement.size() < 2)
        return reading;
    const QString onlineVersion = (versionElement.begin() + 1).value().toString();
    const std::optional<qint64> local = versionNumber(localVersion);
    const std::optional<qint64> online = versionNumber(onlineVersion);
    if (!local || !online)
        return reading;

    reading.onlineVersion = onlineVersion;
    reading.localNumber = *local;
    reading.onlineNumber = *online;
    if (*local == *online) {
        reading.outcome = ManifestReading::Outcome::Equal;
        return reading;
    }
    reading.outcome = ManifestReading::Outcome::Differ;
    for (const QJsonValue &element : elements)
        readLocales(element.toObject(), flagOf, reading.findings);
    return reading;
}
