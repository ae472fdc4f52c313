#include "previous.h"

#include "updater/manifestreader.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <utility>

namespace Publish {

namespace {

// A manifest is at most 16 MiB: a launcher refuses a larger one.
constexpr qint64 kMaxManifestBytes = 16 << 20;

} // namespace

Previous previousAt(const QString &path)
{
    Previous previous;
    if (!QFileInfo(path).isFile())
        return previous;
    previous.source = path;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        previous.problem = path + QStringLiteral(": cannot read it: ") + file.errorString();
        return previous;
    }
    previous.manifest = file.read(kMaxManifestBytes);
    previous.isSigned = QFileInfo::exists(path + QStringLiteral(".sig"));
    return previous;
}

QStringList unfetchedChanges(const QByteArray &previous, const QString &version,
                             const FileUrls &urls, const FileDigests &digests)
{
    // The launcher's own reading: the version it compares, and the files it would fetch at
    // another version, in every locale.
    ManifestReading reading = readManifestVersion(previous, version, IntegrityEntries::Always);
    if (reading.outcome != ManifestReading::Outcome::Equal)
        return {};
    reading.outcome = ManifestReading::Outcome::Differ;
    readManifestFiles(reading, [](const QString &) { return QStringLiteral("1"); });
    // Each file lands in Data/<locale>/ under the last segment of its URL.
    QHash<QString, FileIntegrity> before;
    for (const ManifestFinding &finding : std::as_const(reading.findings)) {
        const QString target = finding.locale + QLatin1Char('/') + finding.url.section('/', -1);
        FileIntegrity entry;
        entry.problem = QStringLiteral("no entry");
        before.insert(target, reading.integrity.value(finding.url, entry));
    }
    QStringList changed;
    for (auto locale = urls.cbegin(); locale != urls.cend(); ++locale) {
        for (auto file = locale.value().cbegin(); file != locale.value().cend(); ++file) {
            const QString target = locale.key() + QLatin1Char('/') + file.key();
            const auto entry = before.constFind(target);
            const FileDigest digest = digests.value(file.value());
            if (entry == before.constEnd() ||
                (entry->isValid() &&
                 (entry->size != digest.size || entry->sha256 != digest.sha256)))
                changed << target;
        }
    }
    return changed;
}

} // namespace Publish
