#pragma once

#include "remote.h"
#include "signing.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace Publish {

struct Verification
{
    QStringList errors; // why launchers that trust the keys refuse the manifest
    QString summary;    // what they accept: version, serial, expiry and the key that signed
    QString launcher;   // the launcher release it offers: its version and platforms, or empty
    bool ok() const { return errors.isEmpty(); }
};

// Checks a manifest and its signature as a launcher that trusts `trusted` does at `now`: the
// signature, a version it can read, the serial and the expiry. Launchers allow a day of clock
// skew past the expiry; this check allows none.
Verification verifyManifest(const ManifestSource &source, const TrustedKeys &trusted,
                            const QDateTime &now);

} // namespace Publish
