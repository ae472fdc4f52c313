#pragma once

#include <QString>

// Where a downloaded file lands: <client folder>/Data/<locale>/<last segment of the URL text>,
// the segment taken from the text exactly as the manifest writes it.
struct DownloadTarget
{
    QString path;          // as built from the texts; also what the log shows
    bool writable = false; // false: must not be written, the download is refused
};

// Refused (writable false) when the client folder is empty, or when the locale or the file name
// is not a plain name that stays inside its folder on every system the launcher runs on: empty,
// "." or "..", path separators, drive or stream colons, characters or device names that Windows
// refuses, control characters, a trailing dot or space.
DownloadTarget downloadTarget(const QString &clientDir, const QString &locale,
                              const QString &urlText);
