#include "publish.h"

#include "fileurl.h"
#include "folderscan.h"
#include "manifest.h"
#include "signing.h"

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
    SigningKey key;
    if (!request.signingKey.isEmpty()) {
        key = readSigningKey(request.signingKey);
        if (!key.problem.isEmpty())
            report.errors << key.problem;
    }
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
    const QByteArray manifest = manifestJson(request.date, request.version, scan.urls, digests);
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
    return report;
}

} // namespace Publish
