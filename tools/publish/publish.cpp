#include "publish.h"

#include "fileurl.h"
#include "folderscan.h"
#include "manifest.h"
#include "signing.h"
#include "updater/manifestfreshness.h"
#include "updater/manifestreader.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace Publish {

namespace {

void checkInput(const Request &request, Report &report)
{
    const QFileInfo folder(request.folder);
    if (!folder.exists())
        report.errors << request.folder + QStringLiteral(": no such folder");
    else if (!folder.isDir())
        report.errors << request.folder + QStringLiteral(": not a folder");
    if (const QString problem = versionProblem(request.version); !problem.isEmpty())
        report.errors << QStringLiteral("version \"") + request.version + QStringLiteral("\" ") +
                             problem;
    else if (const QString warning = versionWarning(request.version); !warning.isEmpty())
        report.warnings << warning;
    if (const QString problem = dateProblem(request.date); !problem.isEmpty())
        report.errors << QStringLiteral("date \"") + request.date + QStringLiteral("\" ") + problem;
}

constexpr int kMaxExpiryDays = 36500;

// The serial of the manifest at the output path, the one launchers may have accepted last:
// nullopt when there is none, or none that carries a serial, or it cannot be read (*problem).
std::optional<qint64> previousSerial(const QString &output, QString *problem)
{
    if (!QFileInfo(output).isFile())
        return std::nullopt;
    QFile file(output);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("cannot read it: ") + file.errorString();
        return std::nullopt;
    }
    const ManifestFreshness::Security security = ManifestFreshness::readSecurity(file.readAll());
    *problem = security.problem;
    return security.serial;
}

// The last serial signed with the key at `keyPath`, kept beside it (see serialStatePath()), so
// that publishing into a new folder goes on from there instead of starting again at 1.
std::optional<qint64> keySerial(const QString &keyPath)
{
    QFile file(serialStatePath(keyPath));
    if (keyPath.isEmpty() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return ManifestFreshness::parseSerial(QString::fromLatin1(file.read(64).trimmed()));
}

// The serial grows with every publication: launchers with a key refuse one below the highest
// they have accepted, so a lower one would never be read. The highest is the one of the
// manifest at the output path or the one the key signed last, whichever is higher.
qint64 chooseSerial(const Request &request, const QString &output, Report &report)
{
    QString problem;
    std::optional<qint64> previous = previousSerial(output, &problem);
    const std::optional<qint64> signedBefore = keySerial(request.signingKey);
    if (signedBefore && (!previous || *signedBefore > *previous))
        previous = signedBefore;
    if (!problem.isEmpty() && request.serial.isEmpty()) {
        report.errors << output + QStringLiteral(": ") + problem +
                             QStringLiteral("; give the serial with --serial");
        return -1;
    }
    if (!request.serial.isEmpty()) {
        const std::optional<qint64> given = ManifestFreshness::parseSerial(request.serial);
        if (!given) {
            report.errors << QStringLiteral("serial \"") + request.serial +
                                 QStringLiteral("\" must be an integer from 0 to 2^53 - 1");
            return -1;
        }
        if (previous && *given < *previous)
            report.errors << QStringLiteral("serial %1 is lower than serial %2 of %3: launchers "
                                            "that read that manifest refuse this one")
                                 .arg(*given)
                                 .arg(*previous)
                                 .arg(output);
        else if (previous && *given == *previous)
            report.warnings << QStringLiteral("serial %1 was published before: launchers that "
                                              "read that manifest refuse this one")
                                   .arg(*given);
        return *given;
    }
    if (!previous) {
        if (!request.signingKey.isEmpty())
            report.warnings << QStringLiteral("serial 1: there is no manifest at %1 and no serial "
                                              "recorded beside %2; launchers that accepted a "
                                              "higher one refuse this manifest (give --serial)")
                                   .arg(output, request.signingKey);
        return 1;
    }
    if (*previous + 1 >= ManifestFreshness::kSerialLimit) {
        report.errors << output + QStringLiteral(": serial %1 is the last there is").arg(*previous);
        return -1;
    }
    return *previous + 1;
}

QString chooseExpiry(const Request &request, Report &report)
{
    if (request.expiresIn.isEmpty())
        return QString();
    bool ok = false;
    const int days = request.expiresIn.toInt(&ok);
    if (!ok || days < 1 || days > kMaxExpiryDays || request.expiresIn != QString::number(days)) {
        report.errors
            << QStringLiteral("expiry \"") + request.expiresIn +
                   QStringLiteral("\" must be a number of days from 1 to %1").arg(kMaxExpiryDays);
        return QString();
    }
    const QDateTime now =
        request.now.isValid() ? request.now.toUTC() : QDateTime::currentDateTimeUtc();
    return ManifestFreshness::formatTime(now.addDays(days));
}

// Size and SHA-256 of every listed file, in one pass each.
FileDigests digestFiles(const QString &folder, const FileUrls &urls, Report &report)
{
    FileDigests digests;
    for (auto locale = urls.cbegin(); locale != urls.cend(); ++locale) {
        for (auto file = locale.value().cbegin(); file != locale.value().cend(); ++file) {
            const QString shown = locale.key() + QLatin1Char('/') + file.key();
            const FileDigest digest = digestFile(QDir(folder).filePath(shown));
            if (!digest.problem.isEmpty())
                report.errors << shown + QStringLiteral(": ") + digest.problem;
            else
                digests.insert(file.value(), digest);
        }
    }
    return digests;
}

bool openStaged(QSaveFile &file, const QByteArray &bytes, QString *error)
{
    const QString folder = QFileInfo(file.fileName()).absolutePath();
    if (!QDir().mkpath(folder)) {
        *error = folder + QStringLiteral(": cannot create folder");
        return false;
    }
    if (QFileInfo(file.fileName()).isDir() || !file.open(QIODevice::WriteOnly) ||
        file.write(bytes) != bytes.size() || !file.flush()) {
        *error = file.fileName() + QStringLiteral(": cannot write: ") + file.errorString();
        return false;
    }
    return true;
}

bool commit(QSaveFile &file, QString *error)
{
    if (file.commit())
        return true;
    *error = file.fileName() + QStringLiteral(": cannot write: ") + file.errorString();
    return false;
}

// The manifest, and its signature when there is one. Both are written out in full before
// either replaces its file; then the signature goes first, so that a launcher never reads the
// new manifest beside the old signature. If the manifest still fails at that point, the new
// signature is removed again rather than left beside the old manifest.
void writeFiles(const QString &manifestPath, const QByteArray &manifest,
                const QByteArray &signature, Report &report)
{
    QString error;
    const QString signaturePath = Publish::signaturePath(manifestPath);
    QSaveFile manifestFile(manifestPath);
    QSaveFile signatureFile(signaturePath);
    if (!openStaged(manifestFile, manifest, &error) ||
        (!signature.isEmpty() && !openStaged(signatureFile, signature, &error))) {
        report.errors << error;
        return;
    }
    if (signature.isEmpty()) {
        if (!commit(manifestFile, &error)) {
            report.errors << error;
        } else if (QFileInfo::exists(signaturePath)) {
            if (QFile::remove(signaturePath))
                report.warnings << signaturePath +
                                       QStringLiteral(": removed, it signed an earlier manifest");
            else
                report.errors << signaturePath +
                                     QStringLiteral(": cannot remove this signature of an earlier "
                                                    "manifest; remove it by hand");
        }
        return;
    }
    if (!commit(signatureFile, &error)) {
        report.errors << error;
        return;
    }
    if (!commit(manifestFile, &error)) {
        report.errors << error;
        if (!QFile::remove(signaturePath))
            report.errors << signaturePath +
                                 QStringLiteral(": does not sign the manifest; remove it by hand");
        return;
    }
    report.signature = signaturePath;
}

} // namespace

QString defaultOutput(const QString &folder)
{
    return QDir(folder).filePath(QStringLiteral("ClientUpdates.json"));
}

QString signaturePath(const QString &manifest)
{
    return manifest + QStringLiteral(".sig");
}

Report publish(const Request &request)
{
    Report report;
    report.output = request.output.isEmpty() ? defaultOutput(request.folder) : request.output;
    checkInput(request, report);
    QString problem;
    const QString base = normalizedBaseUrl(request.baseUrl, &problem);
    if (!problem.isEmpty())
        report.errors << QStringLiteral("base URL \"") + request.baseUrl + QStringLiteral("\" ") +
                             problem;
    QStringList mirrors;
    for (const QString &mirror : request.mirrors) {
        const QString normalized = normalizedBaseUrl(mirror, &problem);
        if (!problem.isEmpty())
            report.errors << QStringLiteral("mirror \"") + mirror + QStringLiteral("\" ") + problem;
        else if (normalized == base || mirrors.contains(normalized))
            report.errors << QStringLiteral("mirror \"") + mirror +
                                 QStringLiteral("\" is listed twice, or is the base URL");
        else
            mirrors << normalized;
    }
    if (mirrors.size() > MirrorList::kMaxMirrors)
        report.errors << QStringLiteral("at most %1 mirrors are used").arg(MirrorList::kMaxMirrors);
    SigningKey key;
    if (!request.signingKey.isEmpty()) {
        key = readSigningKey(request.signingKey);
        if (!key.problem.isEmpty())
            report.errors << key.problem;
    }
    report.serial = chooseSerial(request, report.output, report);
    report.expires = chooseExpiry(request, report);
    if (!report.ok())
        return report;

    const QString output = QFileInfo(report.output).absoluteFilePath();
    const FolderScan scan = scanUpdateFolder(request.folder, base, {output, signaturePath(output)});
    report.errors << scan.errors;
    report.warnings << scan.warnings;
    report.files = scan.fileCount;
    report.locales = int(scan.urls.size());
    if (!report.ok())
        return report;

    const FileDigests digests = digestFiles(request.folder, scan.urls, report);
    if (!report.ok())
        return report;
    const QByteArray manifest = manifestJson(request.date, request.version, scan.urls, digests,
                                             report.serial, report.expires, base, mirrors);
    QByteArray signature;
    if (!key.seed.isEmpty()) {
        signature = signatureFile(key, manifest);
        if (signature.isEmpty()) {
            report.errors << request.signingKey + QStringLiteral(": signing failed");
            return report;
        }
        report.publicKey = key.publicKey;
    }
    writeFiles(report.output, manifest, signature, report);
    if (report.ok() && !key.seed.isEmpty() && keySerial(request.signingKey) < report.serial) {
        QSaveFile state(serialStatePath(request.signingKey));
        if (!state.open(QIODevice::WriteOnly) ||
            state.write(QByteArray::number(report.serial) + '\n') < 0 || !state.commit())
            report.warnings << state.fileName() +
                                   QStringLiteral(": cannot record serial %1 there; the next "
                                                  "publication into another folder needs --serial")
                                       .arg(report.serial);
    }
    return report;
}

QString serialStatePath(const QString &keyPath)
{
    QString path = keyPath;
    if (path.endsWith(QLatin1String(".key")))
        path.chop(4);
    return path + QStringLiteral(".serial");
}

} // namespace Publish
