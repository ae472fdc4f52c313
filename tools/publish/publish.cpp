#include "publish.h"

#include "fileurl.h"
#include "folderscan.h"
#include "manifest.h"
#include "releasecopy.h"
#include "signing.h"
#include "updater/manifestfreshness.h"
#include "updater/manifestreader.h"
#include "updater/manifestsignature.h"

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

void checkLauncher(const Request &request, Report &report)
{
    if (request.launcher.isEmpty())
        return;
    if (const QString problem = launcherUsageProblem(request.launcher); !problem.isEmpty()) {
        report.errors << problem;
        return;
    }
    if (request.signingKey.isEmpty())
        report.errors << QStringLiteral("launcher %1 without --sign: launchers take a launcher "
                                        "release only from a signed manifest")
                             .arg(request.launcher.version);
    report.errors << launcherFileProblems(request.launcher);
}

constexpr int kMaxExpiryDays = 36500;

// The serial of a manifest that launchers may have accepted last: nullopt when it carries none,
// or its "security" member cannot be read (*problem).
std::optional<qint64> serialOf(const Previous &previous, QString *problem)
{
    if (!previous.exists())
        return std::nullopt;
    const ManifestFreshness::Security security = ManifestFreshness::readSecurity(previous.manifest);
    if (!security.problem.isEmpty())
        *problem = previous.source + QStringLiteral(": ") + security.problem;
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
// manifest at the output path, of the one that players get now (--previous), or the one the
// key signed last, whichever is highest. A signed publication that knows none of them would
// start again at 1, which every launcher that accepted a higher serial refuses: that takes
// --serial.
qint64 chooseSerial(const Request &request, const Previous &atOutput, Report &report)
{
    QString problem;
    std::optional<qint64> previous = serialOf(atOutput, &problem);
    const std::optional<qint64> players = serialOf(request.previous, &problem);
    const std::optional<qint64> signedBefore = keySerial(request.signingKey);
    for (const std::optional<qint64> &other : {players, signedBefore}) {
        if (other && (!previous || *other > *previous))
            previous = other;
    }
    if (!problem.isEmpty() && request.serial.isEmpty()) {
        report.errors << problem + QStringLiteral("; give the serial with --serial");
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
            report.errors << QStringLiteral("serial %1 is lower than serial %2, published "
                                            "before: launchers that read that manifest refuse "
                                            "this one; leave --serial out to go on from there")
                                 .arg(*given)
                                 .arg(*previous);
        else if (previous && *given == *previous)
            report.warnings << QStringLiteral("serial %1 was published before: launchers that "
                                              "read that manifest refuse this one")
                                   .arg(*given);
        return *given;
    }
    if (!previous) {
        if (!request.signingKey.isEmpty() && !atOutput.exists() && !request.previous.exists())
            report.errors << QStringLiteral(
                                 "serial 1 would start the count again: there is no manifest at "
                                 "%1, no serial recorded beside %2, and no --previous; launchers "
                                 "that accepted a higher serial refuse this manifest. Give "
                                 "--previous with the URL that players fetch the manifest from, "
                                 "or --serial N above the last serial published (--serial 1 for "
                                 "the first signed publication)")
                                 .arg(report.output, request.signingKey);
        return 1;
    }
    if (*previous + 1 >= ManifestFreshness::kSerialLimit) {
        report.errors << QStringLiteral("serial %1 is the last there is").arg(*previous);
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
    const QDateTime expiry = now.addDays(days);
    const QDateTime clock =
        request.clock.isValid() ? request.clock.toUTC() : QDateTime::currentDateTimeUtc();
    if (expiry < clock && !request.allowExpired)
        report.errors << QStringLiteral("expiry %1 is already past (it is now %2; the expiry "
                                        "counts from %3, SOURCE_DATE_EPOCH when it is set): "
                                        "launchers with a key refuse the manifest. Unset "
                                        "SOURCE_DATE_EPOCH or give more days with --expires, or "
                                        "give --allow-expired to write it all the same")
                             .arg(ManifestFreshness::formatTime(expiry),
                                  ManifestFreshness::formatTime(clock),
                                  ManifestFreshness::formatTime(now));
    return ManifestFreshness::formatTime(expiry);
}

// A publication without a key where launchers need one: every launcher built with a key
// refuses an unsigned manifest.
void checkUnsigned(const Request &request, const Previous &previous, Report &report)
{
    if (!request.signingKey.isEmpty() || request.allowUnsigned)
        return;
    if (previous.exists() && previous.isSigned)
        report.errors << QStringLiteral("no --sign, but %1 was signed: every launcher built with "
                                        "a key refuses an unsigned manifest. Give --sign with "
                                        "the private key, or --unsigned if no launcher checks "
                                        "signatures")
                             .arg(previous.source);
    else if (!request.trusted.keys.isEmpty())
        report.errors << QStringLiteral("no --sign, but the launchers trust keys (%1 lists %2): "
                                        "they refuse an unsigned manifest. Give --sign with the "
                                        "private key of one of them, or --unsigned")
                             .arg(request.trusted.origin, describeKeys(request.trusted));
}

// A signing key that the launchers do not trust signs manifests that they all refuse.
void checkTrusted(const Request &request, const SigningKey &key, Report &report)
{
    if (key.publicKey.isEmpty() || request.trusted.keys.isEmpty())
        return;
    const QByteArray publicKey = QByteArray::fromBase64(key.publicKey);
    if (rawKeys(request.trusted).contains(publicKey))
        return;
    report.errors << QStringLiteral("%1 signs for key %2, which the launchers do not trust "
                                    "(%3 lists %4): they would refuse the manifest. Sign with "
                                    "the private key of one of those")
                         .arg(request.signingKey, ManifestSignature::fingerprint(publicKey),
                              request.trusted.origin, describeKeys(request.trusted));
}

// Launchers at the previous manifest's version compare equal versions and fetch nothing, so
// changed files under the same version reach no one (or, through the repair check of newer
// launchers, only those whose size changed).
void checkSameVersion(const Request &request, const Previous &previous, const FileUrls &urls,
                      const FileDigests &digests, Report &report)
{
    if (!previous.exists() || request.sameVersion)
        return;
    const QStringList changed = unfetchedChanges(previous.manifest, request.version, urls, digests);
    if (changed.isEmpty())
        return;
    constexpr int kNamed = 3;
    QString named = changed.mid(0, kNamed).join(QStringLiteral(", "));
    if (changed.size() > kNamed)
        named += QStringLiteral(" and %1 more").arg(changed.size() - kNamed);
    report.errors << QStringLiteral("version %1 is the version of %2, and files changed: %3. "
                                    "Launchers at %1 will not fetch %4. Give a higher version, "
                                    "or --same-version to publish it all the same")
                         .arg(request.version, previous.source, named,
                              changed.first().section(QLatin1Char('/'), 1));
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

namespace {

// The mirrors' base URLs as launchers will read them: each a sound base, none twice.
QStringList mirrorBases(const QStringList &given, const QString &base, Report &report)
{
    QStringList mirrors;
    QString problem;
    for (const QString &mirror : given) {
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
    return mirrors;
}

} // namespace

Report publish(const Request &request)
{
    Report report;
    report.output = request.output.isEmpty() ? defaultOutput(request.folder) : request.output;
    checkInput(request, report);
    checkLauncher(request, report);
    QString problem;
    const QString base = normalizedBaseUrl(request.baseUrl, &problem);
    if (!problem.isEmpty())
        report.errors << QStringLiteral("base URL \"") + request.baseUrl + QStringLiteral("\" ") +
                             problem;
    const QStringList mirrors = mirrorBases(request.mirrors, base, report);
    SigningKey key;
    if (!request.signingKey.isEmpty()) {
        key = readSigningKey(request.signingKey, rawKeys(request.trusted));
        if (!key.problem.isEmpty())
            report.errors << key.problem;
        if (!key.warning.isEmpty())
            report.warnings << key.warning;
        checkTrusted(request, key, report);
    }
    const Previous atOutput = previousAt(report.output);
    if (!request.previous.problem.isEmpty())
        report.errors << request.previous.source + QStringLiteral(": ") + request.previous.problem;
    if (!atOutput.problem.isEmpty())
        report.errors << atOutput.problem;
    // What players get now: the manifest --previous names, or else the one to be replaced.
    const Previous &previous = request.previous.source.isEmpty() ? atOutput : request.previous;
    checkUnsigned(request, previous, report);
    report.serial = chooseSerial(request, atOutput, report);
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
    if (report.ok())
        checkSameVersion(request, previous, scan.urls, digests, report);
    if (!report.ok())
        return report;
    LauncherRelease launcher = request.launcher;
    if (!launcher.isEmpty()) {
        copyLauncherFiles(request.folder, base, launcher, &report.errors, &report.warnings);
        if (!report.ok())
            return report;
        report.launcherFiles = int(launcher.files.size());
    }
    const QByteArray manifest =
        manifestJson(request.date, request.version, scan.urls, digests, report.serial,
                     report.expires, key.publicKey, base, mirrors, launcher);
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
