#include "clientstart.h"

#include <QFileInfo>
#include <QStandardPaths>

namespace ClientStart {

#ifndef Q_OS_WIN
namespace {

// A name is looked up in PATH; anything with a "/" is taken as a path.
QString findProgram(const QString &command)
{
    if (!command.contains(QLatin1Char('/')))
        return QStandardPaths::findExecutable(command);
    const QFileInfo file(command);
    return file.isFile() && file.isExecutable() ? file.absoluteFilePath() : QString();
}

} // namespace
#endif

Command commandFor(const QString &clientPath)
{
    Command command;
    command.program = clientPath;
#ifndef Q_OS_WIN
    if (!clientPath.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive))
        return command;
    const QString wanted = qEnvironmentVariableIsEmpty("EMBERCREST_WINE")
                               ? QStringLiteral("wine")
                               : qEnvironmentVariable("EMBERCREST_WINE");
    const QString wine = findProgram(wanted);
    if (wine.isEmpty()) {
        command.program.clear();
        command.missing = wanted;
        return command;
    }
    // The game looks for its data beside itself, and Wine passes the environment on
    // (WINEPREFIX and the like).
    const QFileInfo client(clientPath);
    command.program = wine;
    command.arguments = QStringList{client.absoluteFilePath()};
    command.workingDirectory = client.absolutePath();
#endif
    return command;
}

} // namespace ClientStart
