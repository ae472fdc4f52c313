#pragma once

#include "previous.h"
#include "releasecopy.h"
#include "signing.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace Publish {

// One run of the publisher: an update folder laid out as <folder>/<locale>/<files>.
struct Request
{
    QString folder;
    QString version;    // major.minor
    QString baseUrl;    // where <folder> is served, http or https
    QString date;       // YYYY-MM-DD, for people reading the manifest
    QString output;     // the manifest's path; empty for the default
    QString signingKey; // a private key file: also write <output>.sig; empty: no signature
    QString serial;     // the manifest's serial; empty: the previous manifest's plus one
    QString expiresIn;  // days until launchers with a key refuse the manifest; empty: never
    QDateTime now;      // the time the expiry counts from; invalid: the current time

    // The public keys that the launchers trust: a signing key outside them is refused, and so
    // is a publication without one. Empty: not checked.
    TrustedKeys trusted;
    // The manifest that players get now (--previous); none: the one at the output path.
    Previous previous;
    // The overrides of the checks that stop a publication which launchers would refuse or
    // misread: unsigned although the previous manifest was signed or keys are trusted
    // (--unsigned), an expiry already past (--allow-expired), files changed under the same
    // version (--same-version).
    bool allowUnsigned = false;
    bool allowExpired = false;
    bool sameVersion = false;
    QDateTime clock;          // the time an expiry must be later than; invalid: the current time
    QStringList mirrors = {}; // base URLs of hosts that serve <folder> as well
    // A launcher release to copy into <folder>/launcher/ and list; only in a signed manifest.
    LauncherRelease launcher = {};
};

struct Report
{
    QStringList errors;
    QStringList warnings;
    QString output;       // the manifest's path
    QString signature;    // <output>.sig, when one was written
    QByteArray publicKey; // base64 key that checks the signature
    qint64 serial = -1;   // the serial written
    QString expires;      // the expiry written, or empty
    int files = 0;
    int locales = 0;
    int launcherFiles = 0; // launcher files copied
    bool ok() const { return errors.isEmpty(); }
};

// <folder>/ClientUpdates.json
QString defaultOutput(const QString &folder);

// <manifest>.sig
QString signaturePath(const QString &manifest);

// Checks the whole request, then writes the manifest atomically, with its signature when a key
// is given. When anything is wrong the manifest is not touched and every problem is reported.
// A signature is written before its manifest, and a manifest never stays beside a signature
// of other bytes: publishing without a key removes an old one.
//
// Besides bad input, these are errors, as launchers would refuse or misread the manifest:
// - a signing key outside request.trusted;
// - no signing key, when the previous manifest was signed or keys are trusted
//   (unless allowUnsigned);
// - a signed publication whose serial would start again at 1: no previous manifest, no serial
//   recorded beside the key, and no --serial;
// - an expiry earlier than the clock (unless allowExpired);
// - the previous manifest's version with files that launchers at it would not fetch (unless
//   sameVersion);
// - a launcher release without a signing key: launchers ignore it in an unsigned manifest.
// The launcher release's files are copied only once all of that has passed.
Report publish(const Request &request);

// Beside a private key file NAME.key: NAME.serial, the last serial signed with that key.
QString serialStatePath(const QString &keyPath);

} // namespace Publish
