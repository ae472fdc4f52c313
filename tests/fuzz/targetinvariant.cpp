#include "targetinvariant.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace {

// Text only: QFileInfo would pass an unclean path through the file system's encoding.
QString cleanAbsolute(const QString &path)
{
    return QDir::cleanPath(
        QDir::isAbsolutePath(path) ? path : QDir::currentPath() + QLatin1Char('/') + path);
}

// The file system stores the name as it is written, so the file is the one the name says. Linux
// stores UTF-8 (the test environment's locale), Windows UTF-16: the same round trip for both.
QString encodingProblem(const QString &name)
{
    if (QString::fromUtf8(name.toUtf8()) != name)
        return QStringLiteral("\"%1\" is stored under another name").arg(name);
    return QString();
}

QString parentOf(const QString &cleanPath)
{
    const int slash = cleanPath.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : cleanPath.left(slash);
}

QString nameOf(const QString &cleanPath)
{
    return cleanPath.mid(cleanPath.lastIndexOf(QLatin1Char('/')) + 1);
}

// `folder` is one entry directly inside `parent`, once both are cleaned.
QString oneEntryInside(const QString &parent, const QString &folder, const char *what)
{
    const QString cleanParent = cleanAbsolute(parent);
    const QString cleanFolder = cleanAbsolute(folder);
    if (parentOf(cleanFolder) != cleanParent || nameOf(cleanFolder).isEmpty())
        return QStringLiteral("%1 %2 is not one entry inside %3")
            .arg(QLatin1String(what), cleanFolder, cleanParent);
    return QString();
}

// What Windows makes of a single name: a colon names a drive or a stream, trailing dots and
// spaces are dropped, device names open devices, not files.
QString windowsNameProblem(const QString &name)
{
    static const QRegularExpression device(
        QStringLiteral("^(CON|PRN|AUX|NUL|CONIN\\$|CONOUT\\$|COM[0-9\u00b9\u00b2\u00b3]|"
                       "LPT[0-9\u00b9\u00b2\u00b3]) *(\\..*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    if (name.contains(QLatin1Char(':')))
        return QStringLiteral("\"%1\" holds a colon").arg(name);
    if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        return QStringLiteral("\"%1\" loses its trailing dot or space").arg(name);
    if (device.match(name).hasMatch())
        return QStringLiteral("\"%1\" is a device").arg(name);
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || QStringLiteral("<>\"|?*").contains(c))
            return QStringLiteral("\"%1\" holds a character that Windows refuses").arg(name);
    }
    return QString();
}

// The same checks with the given separators turned into slashes.
QString violationAs(QString clientDir, QString locale, QString path, bool windows)
{
    if (windows) {
        clientDir.replace(QLatin1Char('\\'), QLatin1Char('/'));
        locale.replace(QLatin1Char('\\'), QLatin1Char('/'));
        path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    }
    const QString data = clientDir + QLatin1String("/Data");
    const QString folder = data + QLatin1Char('/') + locale;
    QString problem = oneEntryInside(data, folder, "the locale folder");
    if (problem.isEmpty())
        problem = oneEntryInside(folder, path, "the file");
    const QString name = nameOf(cleanAbsolute(path));
    if (problem.isEmpty() && windows) {
        problem = windowsNameProblem(locale);
        if (problem.isEmpty())
            problem = windowsNameProblem(name);
    }
    // Windows keeps names in UTF-16 as they are; elsewhere they are encoded.
    if (problem.isEmpty() && !windows) {
        problem = encodingProblem(locale);
        if (problem.isEmpty())
            problem = encodingProblem(name);
    }
    return problem.isEmpty()
               ? problem
               : QLatin1String(windows ? "as a Windows path: " : "as a Linux path: ") + problem;
}

} // namespace

QString targetViolation(const QString &clientDir, const QString &locale,
                        const DownloadTarget &target)
{
    if (!target.writable)
        return QString();
    if (clientDir.isEmpty())
        return QStringLiteral("a target without a client folder is written");
    // The file must also be the one the path names: built from the same client folder and locale.
    const QString prefix = clientDir + QLatin1String("/Data/") + locale + QLatin1Char('/');
    if (!target.path.startsWith(prefix))
        return QStringLiteral("%1 does not start with %2").arg(target.path, prefix);
    QString problem = violationAs(clientDir, locale, target.path, false);
    if (problem.isEmpty())
        problem = violationAs(clientDir, locale, target.path, true);
    return problem;
}
