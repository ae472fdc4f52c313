#pragma once

#include <QString>
#include <QStringList>

// Everything the launcher keeps between runs lives in "config.conf" in the working directory.
// There is no configuration object: each operation opens the file anew, so every part of the
// program sees the current file and every change is on disk when the call returns.
namespace Config {

inline const QString FileName = QStringLiteral("config.conf");

// The client locales, always in this order: the client's Data subfolders, the keys of the
// locale groups and the locale members of the update manifest.
const QStringList &localeCodes();

bool ConfigExists(const QString &path);
void CreateDefaultConfig();
QString ReadSetting(const QString &group, const QString &key);
void WriteSetting(const QString &group, const QString &key, const QString &value);
void ResetWotlkLocales();
void ProbeWotlkClient(const QString &exePath);

} // namespace Config
