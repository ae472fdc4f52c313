#pragma once

#include <QString>

namespace Publish {

// The base URL as the manifest uses it: http or https, with a host, without query or
// fragment, fully encoded and ending in "/". Empty, with *problem set, when it is not usable.
QString normalizedBaseUrl(const QString &text, QString *problem);

// The manifest's URL for one file: base + locale + "/" + name. The name stays as it is: the
// launcher saves the file under the last segment of this text and percent-encodes spaces and
// other letters itself when it requests the URL.
QString fileUrl(const QString &base, const QString &locale, const QString &name);

// True when the launcher, reading urlText, requests base + locale/name and saves the file
// as name.
bool launcherMapsBack(const QString &urlText, const QString &base, const QString &locale,
                      const QString &name);

} // namespace Publish
