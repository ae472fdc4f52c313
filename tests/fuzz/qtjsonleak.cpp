#include "qtjsonleak.h"

#include <QSet>
#include <QVector>

#if defined(__SANITIZE_ADDRESS__)
#define EMBERCREST_HAVE_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define EMBERCREST_HAVE_LSAN 1
#endif
#endif
#ifdef EMBERCREST_HAVE_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// The string that starts at the quote at `at`, raw, and the index just past its closing quote
// (or the end of the text).
QByteArray rawString(const QByteArray &json, int &at)
{
    const int start = ++at;
    while (at < json.size() && json.at(at) != '"')
        at += json.at(at) == '\\' ? 2 : 1;
    const QByteArray raw = json.mid(start, at - start);
    ++at;
    return raw;
}

bool isPlainAscii(const QByteArray &raw)
{
    for (const char c : raw) {
        if (c == '\\' || uchar(c) >= 0x80)
            return false;
    }
    return true;
}

int skipSpace(const QByteArray &json, int at)
{
    while (at < json.size() && (json.at(at) == ' ' || json.at(at) == '\t' || json.at(at) == '\n' ||
                                json.at(at) == '\r'))
        ++at;
    return at;
}

} // namespace

bool mayRepeatMemberName(const QByteArray &json)
{
    // One entry per open container: the member names of an object, nothing for an array.
    QVector<QSet<QByteArray>> names;
    QVector<bool> isObject;
    int at = 0;
    while (at < json.size()) {
        const char c = json.at(at);
        if (c == '{' || c == '[') {
            names.append(QSet<QByteArray>());
            isObject.append(c == '{');
            ++at;
        } else if (c == '}' || c == ']') {
            if (!names.isEmpty()) {
                names.removeLast();
                isObject.removeLast();
            }
            ++at;
        } else if (c == '"') {
            const QByteArray raw = rawString(json, at);
            at = skipSpace(json, at);
            const bool isName =
                !isObject.isEmpty() && isObject.last() && at < json.size() && json.at(at) == ':';
            if (!isName)
                continue;
            if (!isPlainAscii(raw) || names.last().contains(raw))
                return true;
            names.last().insert(raw);
        } else {
            ++at;
        }
    }
    return false;
}

ManifestReading readManifestCheckingLeaks(const QByteArray &manifest, const QString &localVersion,
                                          const LocaleFlagLookup &flagOf)
{
#ifdef EMBERCREST_HAVE_LSAN
    if (mayRepeatMemberName(manifest)) {
        __lsan::ScopedDisabler qtParserLeaks;
        return readManifest(manifest, localVersion, flagOf);
    }
#endif
    return readManifest(manifest, localVersion, flagOf);
}
