#pragma once

#include <QString>
#include <QStringList>

namespace Publish {

// One run of the publisher: an update folder laid out as <folder>/<locale>/<files>.
struct Request
{
    QString folder;
    QString version; // major.minor
    QString baseUrl; // where <folder> is served, http or https
    QString date;    // YYYY-MM-DD, for people reading the manifest
    QString output;  // the manifest's path; empty for the default
};

struct Report
{
    QStringList errors;
    QStringList warnings;
    QString output; // the manifest's path
    int files = 0;
    int locales = 0;
    bool ok() const { return errors.isEmpty(); }
};

// <folder>/ClientUpdates.json
QString defaultOutput(const QString &folder);

// Checks the whole request, then writes the manifest atomically. When anything is wrong the
// manifest is not touched and every problem is reported.
Report publish(const Request &request);

} // namespace Publish
