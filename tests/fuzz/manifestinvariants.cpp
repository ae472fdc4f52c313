#include "manifestinvariants.h"

#include "targetinvariant.h"
#include "updater/manifestreader.h"
#include "updater/targetpath.h"

#include <QUrl>

namespace {

using Outcome = ManifestReading::Outcome;
using Kind = ManifestFinding::Kind;

const QString kLocalVersion = QStringLiteral("1.0");
const QString kClientDir = QStringLiteral("/srv/games/WoW 3.3.5");

// The WClientLocale flags of a player with ruRU, enUS and deDE installed. Any other name reads
// "1", as a hand-edited or hostile config.conf may flag anything, so odd locale names reach the
// target path too.
QString flagOf(const QString &locale)
{
    if (locale == QLatin1String("ruRU") || locale == QLatin1String("enUS") ||
        locale == QLatin1String("deDE"))
        return QStringLiteral("1");
    if (locale == QLatin1String("enGB") || locale == QLatin1String("esMX"))
        return QStringLiteral("0");
    if (locale == QLatin1String("frFR"))
        return QString();
    return QStringLiteral("1");
}

QString noFlag(const QString &)
{
    return QString();
}

void checkOutcome(const ManifestReading &reading, QStringList &problems)
{
    switch (reading.outcome) {
    case Outcome::NoVersionList:
        if (!reading.onlineVersion.isNull() || !reading.findings.isEmpty() ||
            reading.localNumber != 0 || reading.onlineNumber != 0)
            problems << QStringLiteral("no version list, yet a version, numbers or findings");
        return;
    case Outcome::Equal:
        if (reading.localNumber != reading.onlineNumber || !reading.findings.isEmpty())
            problems << QStringLiteral("equal, yet different numbers or findings");
        break;
    case Outcome::Differ:
        if (reading.localNumber == reading.onlineNumber)
            problems << QStringLiteral("differ, yet equal numbers");
        break;
    }
    if (reading.onlineVersion.isNull())
        problems << QStringLiteral("compared without an online version");
    if (versionNumber(kLocalVersion) != reading.localNumber)
        problems << QStringLiteral("local number %1 is not that of %2")
                        .arg(reading.localNumber)
                        .arg(kLocalVersion);
    if (versionNumber(reading.onlineVersion) != reading.onlineNumber)
        problems << QStringLiteral("online number %1 is not that of \"%2\"")
                        .arg(reading.onlineNumber)
                        .arg(reading.onlineVersion);
}

void checkFinding(const ManifestFinding &finding, QStringList &problems)
{
    const QString flag = flagOf(finding.locale);
    if (finding.kind == Kind::LocaleNotInstalled) {
        if (flag != QLatin1String("0") || !finding.url.isEmpty())
            problems << QStringLiteral("locale \"%1\" reported as not installed with flag \"%2\"")
                            .arg(finding.locale, flag);
        return;
    }
    if (flag != QLatin1String("1"))
        problems
            << QStringLiteral("files listed for \"%1\" with flag \"%2\"").arg(finding.locale, flag);
    if (finding.url.isEmpty())
        problems << QStringLiteral("an empty URL listed for \"%1\"").arg(finding.locale);
    // What the queue does with the text: its URL for the request and its target on disk.
    const QUrl url(finding.url, QUrl::TolerantMode);
    (void)url.toEncoded();
    const DownloadTarget target = downloadTarget(kClientDir, finding.locale, finding.url);
    const QString violation = targetViolation(kClientDir, finding.locale, target);
    if (!violation.isEmpty())
        problems << QStringLiteral("URL \"%1\" of \"%2\": %3")
                        .arg(finding.url, finding.locale, violation);
}

} // namespace

QStringList manifestInvariantViolations(const QByteArray &input)
{
    QStringList problems;
    const ManifestReading reading = readManifest(input, kLocalVersion, flagOf);
    checkOutcome(reading, problems);
    for (const ManifestFinding &finding : reading.findings)
        checkFinding(finding, problems);

    const ManifestReading unflagged = readManifest(input, kLocalVersion, noFlag);
    if (unflagged.outcome != reading.outcome || unflagged.onlineVersion != reading.onlineVersion ||
        !unflagged.findings.isEmpty())
        problems << QStringLiteral("the locale flags changed the outcome, or no flag listed files");

    if (reading.outcome != Outcome::NoVersionList) {
        const ManifestReading installed = readManifest(input, reading.onlineVersion, flagOf);
        if (installed.outcome != Outcome::Equal || !installed.findings.isEmpty())
            problems << QStringLiteral("with \"%1\" installed there is still something to do")
                            .arg(reading.onlineVersion);
    }
    return problems;
}
