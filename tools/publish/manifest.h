#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

namespace Publish {

// Locale code -> file name -> URL.
using FileUrls = QMap<QString, QMap<QString, QString>>;

// Why a version text is not usable, or an empty string. The launcher reads versions as
// major.minor and compares major * 10 + minor.
QString versionProblem(const QString &version);

// A warning for versions that the launcher cannot tell apart from others (1.10 and 2.0), or
// an empty string.
QString versionWarning(const QString &version);

// Why a date text is not usable (it must be YYYY-MM-DD), or an empty string.
QString dateProblem(const QString &date);

// The manifest's bytes: "wsection" holds a version element whose members "date" and
// "version" sort in this order (the launcher takes the second one as the version), then one
// element with the file list of every locale.
QByteArray manifestJson(const QString &date, const QString &version, const FileUrls &urls);

} // namespace Publish
