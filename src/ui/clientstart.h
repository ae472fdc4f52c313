#pragma once

#include <QString>
#include <QStringList>

// How a chosen client file is started. Windows runs it as it is. Elsewhere a Windows client
// (a name ending in ".exe") runs through Wine: the command named by EMBERCREST_WINE, or "wine"
// from PATH, in the client's folder. Any other file is started as it is.
namespace ClientStart {

struct Command
{
    QString program;
    QStringList arguments;
    QString workingDirectory; // empty: the launcher's own
    QString missing;          // the Wine command that was not found; nothing can be started
};

Command commandFor(const QString &clientPath);

} // namespace ClientStart
