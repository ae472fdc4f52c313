#include "config.h"

#include <QFileInfo>
#include <QSettings>

namespace Config {

const QStringList &localeCodes()
{
    static const QStringList codes{QStringLiteral("ruRU"), QStringLiteral("enGB"),
                                   QStringLiteral("enUS"), QStringLiteral("esMX"),
                                   QStringLiteral("deDE"), QStringLiteral("frFR")};
    return codes;
}

bool ConfigExists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() && info.isFile();
}

void CreateDefaultConfig()
{
    QSettings settings(FileName, QSettings::IniFormat);
    const auto writeGroup = [&settings](const QString &group, const QStringList &keys,
                                        const QString &value) {
        settings.beginGroup(group);
        for (const QString &key : keys)
            settings.setValue(key, value);
        settings.endGroup();
    };
    const QStringList clients{QStringLiteral("WOTLK"), QStringLiteral("LEGION")};
    writeGroup(QStringLiteral("ClientLocation"), clients, QString());
    writeGroup(QStringLiteral("ClientDir"), clients, QString());
    writeGroup(QStringLiteral("ClientExe"), clients, QString());
    writeGroup(QStringLiteral("WClientLocale"), localeCodes(), QStringLiteral("0"));
    writeGroup(QStringLiteral("LClientLocale"), localeCodes(), QStringLiteral("0"));
    writeGroup(QStringLiteral("ClientVersion"), clients, QStringLiteral("0.0"));
}

QString ReadSetting(const QString &group, const QString &key)
{
    const QSettings settings(FileName, QSettings::IniFormat);
    return settings.value(group + QLatin1Char('/') + key, QVariant()).toString();
}

void WriteSetting(const QString &group, const QString &key, const QString &value)
{
    QSettings settings(FileName, QSettings::IniFormat);
    settings.beginGroup(group);
    settings.setValue(key, value);
}

void ResetWotlkLocales()
{
    QSettings settings(FileName, QSettings::IniFormat);
    for (const QString &code : localeCodes())
        settings.setValue(QStringLiteral("WClientLocale/") + code, QStringLiteral("0"));
}

void ProbeWotlkClient(const QString &exePath)
{
    QSettings settings(FileName, QSettings::IniFormat);
    const QFileInfo exe(exePath);
    const bool isFile = exe.exists() && exe.isFile();
    const QString folder = isFile ? exe.absolutePath() : QString();
    const QString name = isFile ? exe.fileName() : QString();

    settings.setValue(QStringLiteral("ClientLocation/WOTLK"), exePath);
    if (!folder.isEmpty()) {
        settings.setValue(QStringLiteral("ClientDir/WOTLK"), folder);
        for (const QString &code : localeCodes()) {
            const QFileInfo data(folder + QStringLiteral("/Data/") + code);
            settings.setValue(QStringLiteral("WClientLocale/") + code,
                              data.exists() && data.isDir() ? 1 : 0);
        }
    }
    if (!name.isEmpty())
        settings.setValue(QStringLiteral("ClientExe/WOTLK"), name);
}

} // namespace Config
