#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// The signed additions that tell a current manifest from a replayed one:
//
//     "security": {"serial": 12, "expires": "2026-03-01T12:00:00Z"}
//
// The serial grows with every publication; a launcher with a key refuses a manifest whose
// serial is below the highest it has accepted (a rollback to older files). The expiry, when
// the publisher sets one, bounds how long a manifest can be replayed (a freeze). Both are
// inside the signed bytes, so only the key's holder can set them. Without a key, nothing here
// is consulted.
namespace ManifestFreshness {

// Serials stay below 2^53, so that every JSON reader holds them exactly.
constexpr qint64 kSerialLimit = qint64(1) << 53;
// Player clocks are often wrong by hours: an expiry is enforced this much late.
constexpr qint64 kClockSkewSeconds = 24 * 3600;

struct Security
{
    std::optional<qint64> serial;
    std::optional<QDateTime> expires; // UTC
    QString problem;                  // why the additions cannot be trusted; empty if they can
};

// Reads "security" from the manifest's bytes. A body that is not a JSON object has none. A
// member written twice (QJsonDocument would keep one of them silently), a serial that is not a
// plain integer below kSerialLimit, or an expiry that is not a UTC time in the form that
// formatTime() writes, is a problem.
Security readSecurity(const QByteArray &manifest);

// What the launcher remembers of the manifests it accepted: the highest serial, the SHA-256 of
// the manifest accepted with it, and the key list (the keys the launcher trusts) that it was
// accepted under. Kept in config.conf in a group of its own, which older launchers ignore.
// A launcher with another key list, as a rotation brings, starts afresh: a serial that a
// stolen key pushed to the top does not lock out the keys that replace it. A serial stored by
// a launcher that did not record its key list belongs to the key list in force.
struct Remembered
{
    std::optional<qint64> serial;
    QByteArray sha256; // lowercase hex; empty when not known
    QString problem;   // the stored serial cannot be read: nothing is accepted until it can
};
Remembered remembered(const QByteArray &keyListId);
// False when config.conf did not take it (read-only, say): rollback protection is then off.
bool remember(const QByteArray &keyListId, qint64 serial, const QByteArray &sha256);
// Names a key list (as parseKeyList reads it) whatever its order: hex of a SHA-256 of its keys.
QByteArray keyListId(const QList<QByteArray> &keys);
// Lowercase hex of the SHA-256 of a manifest's bytes.
QByteArray manifestSha256(const QByteArray &manifest);

struct Verdict
{
    bool accepted = false;
    QString reason;               // why it was refused, for the log
    std::optional<qint64> serial; // the accepted manifest's serial, to be remembered
};

// Accepts the manifest unless the remembered serial is unreadable, its additions are
// unreadable, it has no serial or a lower one than the remembered one, it has the remembered
// serial but other bytes than the manifest accepted with it, or it expired more than
// kClockSkewSeconds before now. The same serial and bytes is the same publication read again.
Verdict check(const QByteArray &manifest, const Remembered &before, const QDateTime &now);

// A serial written as a plain decimal integer from 0 to kSerialLimit - 1.
std::optional<qint64> parseSerial(const QString &text);

// YYYY-MM-DDTHH:MM:SSZ, and back.
QString formatTime(const QDateTime &time);
std::optional<QDateTime> parseTime(const QString &text);

} // namespace ManifestFreshness
