#pragma once

// Helpers shared by the updater suites: a WOTLK client in the test's working directory, its
// config.conf, and manifests that list files on the test server.

#include "config/config.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QStringList>

namespace UpdaterTest {

inline const QString kManifestPath =
    QStringLiteral("/engine/files/LauncherData/ClientUpdates.json");
inline const QString kCalled =
    QStringLiteral("OnGetJSON: I'm called! Starting cheking content of this file... :D");
inline const QString kLeftAlone = QStringLiteral("True? Okey i offline.");
inline const QString kReading = QStringLiteral("OnGetJSON: Reading JSON");
inline const QString kChecking = QStringLiteral("Checking download queue...");

// config.conf for a client in <cwd>/client at `version`, with Data/<locale> folders and flags
// "1" for `installed` (the other locales "0"). Returns the client folder.
inline QString writeClientConfig(const QString &version, const QStringList &installed,
                                 bool withLocation = true)
{
    const QString clientDir = QDir::current().filePath(QStringLiteral("client"));
    Config::CreateDefaultConfig();
    if (withLocation)
        Config::WriteSetting("ClientLocation", "WOTLK", clientDir + "/Wow.exe");
    Config::WriteSetting("ClientDir", "WOTLK", clientDir);
    Config::WriteSetting("ClientVersion", "WOTLK", version);
    for (const QString &locale : installed) {
        QDir().mkpath(clientDir + "/Data/" + locale);
        Config::WriteSetting("WClientLocale", locale, "1");
    }
    return clientDir;
}

// {"wsection": [{"date": ..., "version": version}, {locale: {"f0": url, ...}, ...}]}
inline QByteArray manifestJson(const QString &version,
                               const QMap<QString, QStringList> &filesByLocale)
{
    QJsonObject locales;
    for (auto it = filesByLocale.begin(); it != filesByLocale.end(); ++it) {
        QJsonObject files;
        for (int i = 0; i < it.value().size(); ++i)
            files.insert(QStringLiteral("f%1").arg(i), it.value().at(i));
        locales.insert(it.key(), files);
    }
    const QJsonObject versionElement{{"date", "2024-01-01"}, {"version", version}};
    return QJsonDocument(QJsonObject{{"wsection", QJsonArray{versionElement, locales}}})
        .toJson(QJsonDocument::Compact);
}

inline QStringList linesEqualTo(const QStringList &lines, const QString &line)
{
    QStringList found;
    for (const QString &l : lines) {
        if (l == line)
            found << l;
    }
    return found;
}

} // namespace UpdaterTest
