#include "manifestfreshness.h"

#include "config/config.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimeZone>
#include <QVector>

#include <algorithm>
#include <utility>

namespace ManifestFreshness {

namespace {

const QString kGroup = QStringLiteral("ManifestSecurity");
const QString kSerialKey = QStringLiteral("HighestSerial");
const QString kSha256Key = QStringLiteral("ManifestSha256");
const QString kKeyListKey = QStringLiteral("KeyList");

// A small scanner over bytes that QJsonDocument has already accepted as JSON: it only finds
// where members and values start and end, so that a member written twice can be seen.
struct RawMember
{
    QString name;
    int valueBegin = 0;
    int valueEnd = 0;
};

int skipSpace(const QByteArray &text, int at)
{
    while (at < text.size() && (text.at(at) == ' ' || text.at(at) == '\t' || text.at(at) == '\n' ||
                                text.at(at) == '\r'))
        ++at;
    return at;
}

// From an opening quote to just after its closing quote; -1 when there is none.
int skipString(const QByteArray &text, int at)
{
    for (int i = at + 1; i < text.size(); ++i) {
        if (text.at(i) == '\\')
            ++i;
        else if (text.at(i) == '"')
            return i + 1;
    }
    return -1;
}

int skipValue(const QByteArray &text, int at)
{
    if (at >= text.size())
        return -1;
    const char first = text.at(at);
    if (first == '"')
        return skipString(text, at);
    if (first == '{' || first == '[') {
        int depth = 0;
        for (int i = at; i < text.size(); ++i) {
            const char c = text.at(i);
            if (c == '"') {
                i = skipString(text, i);
                if (i < 0)
                    return -1;
                --i;
            } else if (c == '{' || c == '[') {
                ++depth;
            } else if ((c == '}' || c == ']') && --depth == 0) {
                return i + 1;
            }
        }
        return -1;
    }
    int i = at;
    while (i < text.size() && !QByteArray(",}] \t\r\n").contains(text.at(i)))
        ++i;
    return i;
}

// The members of the object whose "{" is at `at`, in the order written, duplicates kept.
std::optional<QVector<RawMember>> objectMembers(const QByteArray &text, int at)
{
    QVector<RawMember> members;
    if (at >= text.size() || text.at(at) != '{')
        return std::nullopt;
    int i = skipSpace(text, at + 1);
    if (i < text.size() && text.at(i) == '}')
        return members;
    while (i < text.size()) {
        if (text.at(i) != '"')
            return std::nullopt;
        const int nameEnd = skipString(text, i);
        if (nameEnd < 0)
            return std::nullopt;
        // The name as JSON decodes it, escapes and all.
        const QByteArray nameToken = text.mid(i, nameEnd - i);
        RawMember member;
        member.name = QJsonDocument::fromJson('[' + nameToken + ']').array().at(0).toString();
        i = skipSpace(text, nameEnd);
        if (i >= text.size() || text.at(i) != ':')
            return std::nullopt;
        member.valueBegin = skipSpace(text, i + 1);
        member.valueEnd = skipValue(text, member.valueBegin);
        if (member.valueEnd < 0)
            return std::nullopt;
        members << member;
        i = skipSpace(text, member.valueEnd);
        if (i < text.size() && text.at(i) == '}')
            return members;
        if (i >= text.size() || text.at(i) != ',')
            return std::nullopt;
        i = skipSpace(text, i + 1);
    }
    return std::nullopt;
}

QVector<RawMember> named(const QVector<RawMember> &members, const QString &name)
{
    QVector<RawMember> found;
    for (const RawMember &member : members) {
        if (member.name == name)
            found << member;
    }
    return found;
}

// A value as written, short enough for a log line.
QString shown(const QByteArray &text, const RawMember &member)
{
    constexpr int kShown = 40;
    const QByteArray raw = text.mid(member.valueBegin, member.valueEnd - member.valueBegin);
    return raw.size() > kShown ? QString::fromUtf8(raw.left(kShown)) + QStringLiteral("...")
                               : QString::fromUtf8(raw);
}

Security problem(const QString &text)
{
    Security security;
    security.problem = text;
    return security;
}

} // namespace

std::optional<qint64> parseSerial(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^(0|[1-9][0-9]{0,15})$"));
    if (!form.match(text).hasMatch())
        return std::nullopt;
    const qint64 serial = text.toLongLong();
    if (serial >= kSerialLimit)
        return std::nullopt;
    return serial;
}

QString formatTime(const QDateTime &time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss")) + QLatin1Char('Z');
}

std::optional<QDateTime> parseTime(const QString &text)
{
    static const QRegularExpression form(
        QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$"));
    if (!form.match(text).hasMatch())
        return std::nullopt;
    // Date and time apart, and in UTC: read as local time, a time in a daylight-saving gap
    // would not exist.
    const QDate date = QDate::fromString(text.left(10), Qt::ISODate);
    const QTime time = QTime::fromString(text.mid(11, 8), QStringLiteral("HH:mm:ss"));
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return QDateTime(date, time, QTimeZone::utc());
}

Security readSecurity(const QByteArray &manifest)
{
    const QJsonDocument document = QJsonDocument::fromJson(manifest);
    if (!document.isObject())
        return {};
    const std::optional<QVector<RawMember>> top = objectMembers(manifest, skipSpace(manifest, 0));
    if (!top)
        return problem(QStringLiteral("the manifest could not be scanned"));
    const QVector<RawMember> sections = named(*top, QStringLiteral("security"));
    if (sections.isEmpty())
        return {};
    if (sections.size() > 1)
        return problem(
            QStringLiteral("the manifest carries %1 \"security\" members").arg(sections.size()));
    const std::optional<QVector<RawMember>> members =
        objectMembers(manifest, sections.first().valueBegin);
    if (!members)
        return problem(QStringLiteral("\"security\" is not an object"));

    Security security;
    const QVector<RawMember> serials = named(*members, QStringLiteral("serial"));
    const QVector<RawMember> expiries = named(*members, QStringLiteral("expires"));
    if (serials.size() > 1)
        return problem(QStringLiteral("the manifest carries %1 serials").arg(serials.size()));
    if (expiries.size() > 1)
        return problem(QStringLiteral("the manifest carries %1 expiry times").arg(expiries.size()));
    if (!serials.isEmpty()) {
        const RawMember &member = serials.first();
        security.serial = parseSerial(QString::fromLatin1(
            manifest.mid(member.valueBegin, member.valueEnd - member.valueBegin)));
        if (!security.serial)
            return problem(QStringLiteral("serial %1 is not an integer from 0 to 2^53 - 1")
                               .arg(shown(manifest, member)));
    }
    if (!expiries.isEmpty()) {
        const RawMember &member = expiries.first();
        const QJsonValue value = document.object()
                                     .value(QStringLiteral("security"))
                                     .toObject()
                                     .value(QStringLiteral("expires"));
        security.expires = parseTime(value.toString());
        if (!value.isString() || !security.expires)
            return problem(QStringLiteral("expiry %1 is not a UTC time written "
                                          "YYYY-MM-DDTHH:MM:SSZ")
                               .arg(shown(manifest, member)));
    }
    return security;
}

Verdict check(const QByteArray &manifest, const Remembered &before, const QDateTime &now)
{
    Verdict verdict;
    if (!before.problem.isEmpty()) {
        verdict.reason = before.problem;
        return verdict;
    }
    const std::optional<qint64> highestAccepted = before.serial;
    const Security security = readSecurity(manifest);
    if (!security.problem.isEmpty()) {
        verdict.reason = security.problem;
        return verdict;
    }
    if (highestAccepted && !security.serial) {
        verdict.reason = QStringLiteral("the manifest has no serial, but serial %1 was accepted "
                                        "before")
                             .arg(*highestAccepted);
        return verdict;
    }
    if (highestAccepted && *security.serial < *highestAccepted) {
        verdict.reason = QStringLiteral("serial %1 is lower than serial %2, accepted before: an "
                                        "older manifest")
                             .arg(*security.serial)
                             .arg(*highestAccepted);
        return verdict;
    }
    // Two manifests that carry one serial cannot both be the publisher's current one.
    if (highestAccepted && *security.serial == *highestAccepted && !before.sha256.isEmpty() &&
        manifestSha256(manifest) != before.sha256) {
        verdict.reason = QStringLiteral("serial %1 was accepted before for another manifest")
                             .arg(*security.serial);
        return verdict;
    }
    if (security.expires && security.expires->addSecs(kClockSkewSeconds) < now) {
        verdict.reason = QStringLiteral("the manifest expired at %1, and it is now %2 (%3 hours "
                                        "of clock skew allowed)")
                             .arg(formatTime(*security.expires), formatTime(now))
                             .arg(kClockSkewSeconds / 3600);
        return verdict;
    }
    verdict.accepted = true;
    verdict.serial = security.serial;
    return verdict;
}

Remembered remembered(const QByteArray &keyListId)
{
    Remembered before;
    const QString list = Config::ReadSetting(kGroup, kKeyListKey);
    if (!list.isEmpty() && list.toLatin1() != keyListId)
        return before; // another key list's: this one starts afresh
    const QString text = Config::ReadSetting(kGroup, kSerialKey);
    if (text.isEmpty())
        return before;
    before.serial = parseSerial(text);
    if (!before.serial) {
        before.problem = QStringLiteral("the stored serial \"%1\" is unreadable, and no manifest "
                                        "is accepted until it is mended ([ManifestSecurity] "
                                        "in config.conf)")
                             .arg(text.left(40));
        return before;
    }
    const QByteArray sha256 = Config::ReadSetting(kGroup, kSha256Key).toLatin1();
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    if (hex.match(QString::fromLatin1(sha256)).hasMatch())
        before.sha256 = sha256;
    return before;
}

bool remember(const QByteArray &keyListId, qint64 serial, const QByteArray &sha256)
{
    Config::WriteSetting(kGroup, kSerialKey, QString::number(serial));
    Config::WriteSetting(kGroup, kSha256Key, QString::fromLatin1(sha256));
    Config::WriteSetting(kGroup, kKeyListKey, QString::fromLatin1(keyListId));
    const Remembered stored = remembered(keyListId);
    return stored.serial == serial && stored.sha256 == sha256;
}

QByteArray keyListId(const QList<QByteArray> &keys)
{
    QList<QByteArray> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QByteArray &key : std::as_const(sorted))
        hash.addData(key);
    return hash.result().toHex().left(32);
}

QByteArray manifestSha256(const QByteArray &manifest)
{
    return QCryptographicHash::hash(manifest, QCryptographicHash::Sha256).toHex();
}

} // namespace ManifestFreshness
