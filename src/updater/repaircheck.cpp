#include "repaircheck.h"

#include "targetpath.h"

#include <QFileInfo>

namespace {

RepairCheck::Outcome lookForRepairs(const QByteArray &manifest, const QString &localVersion,
                                    const QHash<QString, QString> &flags, const QString &clientDir)
{
    RepairCheck::Outcome outcome;
    outcome.reading = readManifestVersion(manifest, localVersion, IntegrityEntries::Always);
    readManifestFiles(outcome.reading,
                      [&flags](const QString &locale) { return flags.value(locale); });
    for (const ManifestFinding &file : qAsConst(outcome.reading.installedFiles)) {
        const FileIntegrity integrity = outcome.reading.integrity.value(file.url);
        if (!integrity.isValid() || integrity.size < 0)
            continue;
        const DownloadTarget target = downloadTarget(clientDir, file.locale, file.url);
        if (!target.writable)
            continue;
        // Its size only: a file's times would cost a time zone conversion each.
        const QFileInfo info(target.path);
        if (!info.isFile() || info.size() != integrity.size)
            outcome.missing.append(file);
    }
    return outcome;
}

} // namespace

RepairCheck::RepairCheck(QObject *parent) : QObject(parent) {}

void RepairCheck::start(const QByteArray &manifest, const QString &localVersion,
                        const QHash<QString, QString> &flags, const QString &clientDir)
{
    job.run([manifest, localVersion, flags,
             clientDir] { return lookForRepairs(manifest, localVersion, flags, clientDir); },
            [this](Outcome outcome) {
                result = std::move(outcome);
                emit found();
            });
}
