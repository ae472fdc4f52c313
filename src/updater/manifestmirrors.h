#pragma once

#include <QByteArray>
#include <QUrl>
#include <QVector>

// Where else the manifest may be fetched when its own host fails: the mirrors of the last
// manifest accepted under a key, kept in config.conf ([ManifestMirrors]), for a manifest URL
// under their base. What a mirror serves is judged like the manifest from its own host (its
// signature, serial and expiry), so a stale mirror cannot take a player back.
namespace ManifestMirrors {

// The manifest at `manifestUrl` on each remembered mirror, in the manifest's order.
QVector<QUrl> fallbacks(const QUrl &manifestUrl);
// Keeps the mirror list of `manifest`, accepted under a key, when it differs from the one kept.
void remember(const QByteArray &manifest);

} // namespace ManifestMirrors
