#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVector>

#include <functional>
#include <optional>

// What a reading of the update manifest found, in the order the check reports it. Reading is a
// plain function of the manifest's bytes, the installed version and the locale flags, so it can
// be tested and fuzzed without a network or a config file.

// One locale member met in the locale pass, in processing order (array order, then the
// element's member names in ascending order).
struct ManifestFinding
{
    enum class Kind {
        FileListed,        // the locale is installed ("1") and lists `url` (never empty)
        LocaleNotInstalled // the locale's flag is "0"
    };
    Kind kind = Kind::FileListed;
    QString locale;
    QString url;
};

// What the manifest's "integrity" member says about one file: {"size": n, "sha256": "hex"}.
struct FileIntegrity
{
    qint64 size = -1;
    QByteArray sha256; // 64 lowercase hex digits
    QString problem;   // why the entry cannot be used; a file with such an entry must fail
    bool isValid() const { return problem.isEmpty(); }
};

// The manifest's "mirrors" member: {"base": URL, "urls": [URL, ...]}. Each URL is the base of
// a host that serves the same tree as `base`, so a file listed under `base` is the same file
// there. Only files with an integrity entry are fetched from mirrors: their SHA-256 proves them
// whichever host served them.
struct MirrorList
{
    QString base;
    QStringList bases; // each an http(s) URL ending in "/", at most kMaxMirrors, none twice

    static constexpr int kMaxMirrors = 8;
    // The file at `urlText` on each mirror; none when it is not under `base`.
    QVector<QUrl> urlsFor(const QString &urlText) const;
};

// Unusable entries (not http(s), a query or fragment, the base itself) are left out.
MirrorList readMirrorList(const QJsonValue &member);

// Files above this size are not believed: no game file comes near it.
constexpr qint64 kMaxIntegritySize = qint64(1) << 40;

struct ManifestReading
{
    enum class Outcome {
        NoVersionList, // nothing to compare: no usable "wsection" or version element
        Equal,         // same version number: nothing to fetch
        Differ         // another version number: `findings` holds the locale pass
    };
    Outcome outcome = Outcome::NoVersionList;
    QString onlineVersion; // set unless NoVersionList
    qint64 localNumber = 0;
    qint64 onlineNumber = 0;
    QVector<ManifestFinding> findings;

    // The "integrity" member is an object (read unless NoVersionList). Keyed by the URL texts
    // exactly as the locale lists write them; entries for URLs no list holds are never asked for.
    bool hasIntegrity = false;
    QHash<QString, FileIntegrity> integrity;
    // Read with the integrity entries.
    MirrorList mirrors;
    // Equal versions with integrity data: every file of an installed locale (FileListed only),
    // so that missing or damaged files can be fetched again.
    QVector<ManifestFinding> installedFiles;

    // The "wsection" elements, for the locale pass.
    QJsonArray elements;
};

// One value of the "integrity" object, checked: a problem names what is wrong with it.
FileIntegrity readIntegrityEntry(const QJsonValue &entry);

// Flag of a locale name in the WClientLocale group ("1", "0", or anything else).
using LocaleFlagLookup = std::function<QString(const QString &locale)>;

// major.minor -> major * 10 + minor; a part that is not a number counts as 0, parts after the
// second are ignored. No number for a text with fewer than two parts.
std::optional<qint64> versionNumber(const QString &versionText);

// Whether a reading at equal versions holds the integrity entries. Only the repair check needs
// them then, and reads them off the GUI thread (see RepairCheck): thousands of entries would
// otherwise be read before the window is first painted.
enum class IntegrityEntries { WhenVersionsDiffer, Always };

// The version comparison and the integrity data (`hasIntegrity` always); no locale flag is read
// yet.
ManifestReading
readManifestVersion(const QByteArray &manifest, const QString &localVersion,
                    IntegrityEntries integrityEntries = IntegrityEntries::WhenVersionsDiffer);
// The locale pass: with other versions every listed file (`findings`), with equal ones and
// integrity data every installed file (`installedFiles`).
void readManifestFiles(ManifestReading &reading, const LocaleFlagLookup &flagOf);
// Both at once, with every integrity entry.
ManifestReading readManifest(const QByteArray &manifest, const QString &localVersion,
                             const LocaleFlagLookup &flagOf);
