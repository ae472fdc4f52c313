#include "publish.h"

#include "fileurl.h"
#include "folderscan.h"
#include "manifest.h"

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

bool writeAtomically(const QString &path, const QByteArray &bytes, QString *error)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        *error = folder + QStringLiteral(": cannot create folder");
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = path + QStringLiteral(": cannot write: ") + file.errorString();
        return false;
    }
    return true;
}

} // namespace

QString defaultOutput(const QString &folder)
{
    return QDir(folder).filePath(QStringLiteral("ClientUpdates.json"));
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
    if (!report.ok())
        return report;

    const FolderScan scan =
        scanUpdateFolder(request.folder, base, QFileInfo(report.output).absoluteFilePath());
    report.errors << scan.errors;
    report.warnings << scan.warnings;
    report.files = scan.fileCount;
    report.locales = int(scan.urls.size());
    if (!report.ok())
        return report;

    QString error;
    if (!writeAtomically(report.output, manifestJson(request.date, request.version, scan.urls),
                         &error))
        report.errors << error;
    return report;
}

} // namespace Publish
