#include "manifestmirrors.h"

#include "config/config.h"
#include "manifestreader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace {

const QString kGroup = QStringLiteral("ManifestMirrors");
const QString kBase = QStringLiteral("Base");
const QString kUrls = QStringLiteral("Urls");

} // namespace

namespace ManifestMirrors {

QVector<QUrl> fallbacks(const QUrl &manifestUrl)
{
    // Read back through the manifest's own rules, so a hand-edited config.conf is held to them.
    const QJsonObject member{
        {QStringLiteral("base"), Config::ReadSetting(kGroup, kBase)},
        {QStringLiteral("urls"),
         QJsonArray::fromStringList(Config::ReadSetting(kGroup, kUrls).split(QLatin1Char(' ')))}};
    return readMirrorList(member).urlsFor(manifestUrl.toString(QUrl::FullyEncoded));
}

void remember(const QByteArray &manifest)
{
    const MirrorList list =
        readMirrorList(QJsonDocument::fromJson(manifest).object().value(QLatin1String("mirrors")));
    const QString urls = list.bases.join(QLatin1Char(' '));
    if (Config::ReadSetting(kGroup, kBase) == list.base &&
        Config::ReadSetting(kGroup, kUrls) == urls)
        return;
    Config::WriteSetting(kGroup, kBase, list.base);
    Config::WriteSetting(kGroup, kUrls, urls);
}

} // namespace ManifestMirrors
