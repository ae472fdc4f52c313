#pragma once

#include <QByteArray>
#include <QDateTime>
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

struct Verdict
{
    bool accepted = false;
    QString reason;               // why it was refused, for the log
    std::optional<qint64> serial; // the accepted manifest's serial, to be remembered
};

// Accepts the manifest unless its additions are unreadable, it has no serial or a lower one
// than highestAccepted, or it expired more than kClockSkewSeconds before now. An equal serial
// is accepted: it is the same publication read again.
Verdict check(const QByteArray &manifest, std::optional<qint64> highestAccepted,
              const QDateTime &now);

// A serial written as a plain decimal integer from 0 to kSerialLimit - 1.
std::optional<qint64> parseSerial(const QString &text);

// YYYY-MM-DDTHH:MM:SSZ, and back.
QString formatTime(const QDateTime &time);
std::optional<QDateTime> parseTime(const QString &text);

// The highest serial accepted so far, kept in config.conf in a group of its own, which older
// launchers ignore. nullopt when none was accepted yet; an unreadable value counts as none
// and is named in *problem.
std::optional<qint64> storedHighestSerial(QString *problem);
void storeHighestSerial(qint64 serial);

} // namespace ManifestFreshness
