#pragma once

#include <QString>
#include <QtGlobal>

// The launcher's debug lines go where Qt sends them anyway (the debugger output of a Windows
// GUI program, standard error elsewhere) and are also appended to a file, so that a player can
// send in why an update failed. The file is bounded: past `limit` bytes it becomes
// `<name>.old` (replacing the one before) and a fresh file begins; while the full file can be
// neither moved nor removed, lines are dropped rather than appended. Each message is one line,
// its control characters escaped (`\n`, `\x1b`, `\u2028`), and a line is cut at `LineLimit`
// bytes with a marker. Nothing is created until the first line arrives; a file that cannot be
// written is skipped silently. Qt's own output gets every message as it was.
namespace LogFile {

constexpr qint64 DefaultLimit = 1024 * 1024;
constexpr int LineLimit = 4096;

// Name of the log beside config.conf, in the working directory.
extern const char FileName[];

void install(const QString &path, qint64 limit = DefaultLimit);

// Stops writing the file and puts the earlier handler back.
void uninstall();

} // namespace LogFile
