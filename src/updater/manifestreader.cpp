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

void readIntegrity(const QJsonObject &top, ManifestReading &reading, bool entries)
{
    const QJsonValue member = top.value(QLatin1String("integrity"));
    if (!member.isObject())
        return;
    reading.hasIntegrity = true;
    if (!entries)
        return;
    const QJsonObject listed = member.toObject();
    reading.integrity.reserve(listed.size());
    for (auto entry = listed.begin(); entry != listed.end(); ++entry)
        reading.integrity.insert(entry.key(), readIntegrityEntry(entry.value()));
    reading.mirrors = readMirrorList(top.value(QLatin1String("mirrors")));
}

// An http(s) base a file's URL text can be put under: a host, no query or fragment, a "/" at
// the end (without it, "files" would also be the base of "files2/...").
bool isBaseUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !url.host().isEmpty() && !url.hasQuery() && !url.hasFragment() &&
           text.endsWith(QLatin1Char('/'));
}

bool isLowerHex(const QString &text)
{
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

} // namespace

FileIntegrity readIntegrityEntry(const QJsonValue &entry)
{
    FileIntegrity result;
    const QJsonObject object = entry.toObject();
    const QJsonValue size = object.value(QLatin1String("size"));
    const double bytes = size.toDouble(-1);
    if (!entry.isObject())
        result.problem = QStringLiteral("the entry is not an object");
    else if (!size.isDouble() || bytes < 0 || bytes > double(kMaxIntegritySize) ||
             bytes != double(qint64(bytes)))
        result.problem = QStringLiteral("size is not a whole number of bytes from 0 to 2^40");
    const QString hash = object.value(QLatin1String("sha256")).toString().toLower();
    if (result.problem.isEmpty() && (hash.size() != 64 || !isLowerHex(hash)))
        result.problem = QStringLiteral("sha256 is not 64 hex digits");
    if (result.problem.isEmpty()) {
        result.size = qint64(bytes);
        result.sha256 = hash.toLatin1();
    }
    return result;
}

std::optional<qint64> versionNumber(const QString &versionText)
{
    const QStringList parts = versionText.split(QLatin1Char('.'));
    if (parts.size() < 2)
        return std::nullopt;
    // qint64, so that two large parts cannot overflow.
    return qint64(parts.at(0).toInt()) * 10 + parts.at(1).toInt();
}

MirrorList readMirrorList(const QJsonValue &member)
{
    MirrorList list;
    const QJsonObject object = member.toObject();
    const QString base = object.value(QLatin1String("base")).toString();
    if (!isBaseUrl(base))
        return list;
    list.base = base;
    const QJsonArray urls = object.value(QLatin1String("urls")).toArray();
    for (const QJsonValue &value : urls) {
        const QString url = value.toString();
        if (list.bases.size() < MirrorList::kMaxMirrors && isBaseUrl(url) && url != base &&
            !list.bases.contains(url))
            list.bases.append(url);
    }
    return list;
}

QVector<QUrl> MirrorList::urlsFor(const QString &urlText) const
{
    QVector<QUrl> urls;
    if (bases.isEmpty() || !urlText.startsWith(base))
        return urls;
    const QString rest = urlText.mid(base.size());
    for (const QString &mirror : bases)
        urls.append(QUrl(mirror + rest, QUrl::TolerantMode));
    return urls;
}

ManifestReading readManifestVersion(const QByteArray &manifest, const QString &localVersion,
                                    IntegrityEntries integrityEntries)
{
    ManifestReading reading;
    const QJsonObject top = QJsonDocument::fromJson(manifest).object();
    const QJsonValue section = top.value(QLatin1String("wsection"));
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
    reading.elements = elements;
    reading.outcome =
        *local == *online ? ManifestReading::Outcome::Equal : ManifestReading::Outcome::Differ;
    readIntegrity(top, reading,
                  reading.outcome == ManifestReading::Outcome::Differ ||
                      integrityEntries == IntegrityEntries::Always);
    return reading;
}

void readManifestFiles(ManifestReading &reading, const LocaleFlagLookup &flagOf)
{
    if (reading.outcome == ManifestReading::Outcome::Differ) {
        for (const QJsonValue &element : qAsConst(reading.elements))
            readLocales(element.toObject(), flagOf, reading.findings);
        return;
    }
    if (reading.outcome != ManifestReading::Outcome::Equal || !reading.hasIntegrity)
        return;
    QVector<ManifestFinding> all;
    for (const QJsonValue &element : qAsConst(reading.elements))
        readLocales(element.toObject(), flagOf, all);
    for (const ManifestFinding &finding : qAsConst(all)) {
        if (finding.kind == ManifestFinding::Kind::FileListed)
            reading.installedFiles.append(finding);
    }
}

ManifestReading readManifest(const QByteArray &manifest, const QString &localVersion,
                             const LocaleFlagLookup &flagOf)
{
    ManifestReading reading = readManifestVersion(manifest, localVersion, IntegrityEntries::Always);
    readManifestFiles(reading, flagOf);
    return reading;
}
