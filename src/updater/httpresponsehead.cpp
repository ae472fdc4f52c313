#include "httpresponsehead.h"

#include <QList>

#include <cstring>
#include <limits>

namespace {

// Fixed, whatever the packets the reply arrives in: a line is measured once it is whole.
constexpr int kMaxLine = 8 * 1024;
constexpr int kMaxLines = 100;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t';
}

// The characters of a header name (an HTTP token).
bool isTokenChar(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

QByteArray withoutSpaceAround(const QByteArray &value)
{
    int from = 0, to = value.size();
    while (from < to && isSpace(value.at(from)))
        ++from;
    while (to > from && isSpace(value.at(to - 1)))
        --to;
    return value.mid(from, to - from);
}

} // namespace

bool HttpResponseHead::takeLine(QByteArray *in, QByteArray *line)
{
    const int window = int(qMin<qint64>(in->size(), kMaxLine + 2));
    const char *data = in->constData();
    const char *lf = static_cast<const char *>(std::memchr(data, '\n', size_t(window)));
    if (!lf) {
        if (window == kMaxLine + 2)
            return malformed("a line longer than 8 KiB");
        return false;
    }
    const int end = int(lf - data);
    if (end == 0 || data[end - 1] != '\r')
        return malformed("a line not ended by CRLF");
    *line = in->left(end - 1);
    in->remove(0, end + 1);
    if (line->contains('\r') || line->contains('\0'))
        return malformed("a CR or NUL inside a line");
    return true;
}

// "HTTP/1.x", a space, three digits, and the reason after one more space if there is one.
bool HttpResponseHead::statusLine(const QByteArray &line)
{
    const bool wellFormed = line.size() >= 12 && line.startsWith("HTTP/1.") &&
                            isDigit(line.at(7)) && line.at(8) == ' ' && isDigit(line.at(9)) &&
                            isDigit(line.at(10)) && isDigit(line.at(11)) &&
                            (line.size() == 12 || line.at(12) == ' ');
    if (!wellFormed)
        return malformed("a malformed status line");
    statusCode = line.mid(9, 3).toInt();
    reasonPhrase = line.mid(13);
    return true;
}

bool HttpResponseHead::headerLine(const QByteArray &line)
{
    int colon = 0;
    if (!namedLine(line, &colon))
        return false;
    const QByteArray name = line.left(colon).toLower();
    const QByteArray value = withoutSpaceAround(line.mid(colon + 1));
    if (name == "transfer-encoding") {
        // Any other coding would be left undecoded (identity was asked for); chunked twice is
        // not chunked once.
        if (chunked || value.toLower() != "chunked")
            return malformed("a transfer coding other than chunked");
        chunked = true;
    } else if (name == "content-length") {
        // Repeats of one value frame the body alike; two values leave it unknown.
        const QList<QByteArray> values = value.split(',');
        for (const QByteArray &item : values) {
            const QByteArray digits = withoutSpaceAround(item);
            bool number = !digits.isEmpty() && digits.size() <= 18;
            for (int i = 0; number && i < digits.size(); ++i)
                number = isDigit(digits.at(i));
            if (!number || (length >= 0 && digits.toLongLong() != length))
                return malformed("a Content-Length that is not one number");
            length = digits.toLongLong();
        }
    } else if (name == "www-authenticate") {
        const QByteArray scheme = value.left(value.indexOf(' ')).toLower();
        basicChallenge = basicChallenge || scheme == "basic";
    }
    return true;
}

bool HttpResponseHead::bodyFramed()
{
    if (chunked && length >= 0)
        return malformed("both Transfer-Encoding and Content-Length");
    return true;
}

// 1 to 16 hexadecimal digits; whatever follows a ';' (chunk extensions) is ignored.
bool HttpResponseHead::chunkSizeLine(const QByteArray &line, qint64 *size)
{
    int digits = 0;
    while (digits < line.size() && isHexDigit(line.at(digits)))
        ++digits;
    int rest = digits;
    while (rest < line.size() && isSpace(line.at(rest)))
        ++rest;
    bool ok = digits >= 1 && digits <= 16 &&
              (rest == line.size() ? rest == digits : line.at(rest) == ';');
    const quint64 value = ok ? line.left(digits).toULongLong(&ok, 16) : 0;
    if (!ok || value > quint64(std::numeric_limits<qint64>::max()))
        return malformed("a malformed chunk size");
    *size = qint64(value);
    // The trailers have a line budget of their own.
    if (value == 0)
        lines = 0;
    return true;
}

bool HttpResponseHead::trailerLine(const QByteArray &line)
{
    int colon = 0;
    return namedLine(line, &colon);
}

// A header or trailer line as such: counted, not folded, and with a name before its colon.
bool HttpResponseHead::namedLine(const QByteArray &line, int *colon)
{
    if (++lines > kMaxLines)
        return malformed("more than 100 header lines");
    if (isSpace(line.at(0)))
        return malformed("a folded header line");
    *colon = line.indexOf(':');
    bool named = *colon > 0;
    for (int i = 0; named && i < *colon; ++i)
        named = isTokenChar(line.at(i));
    if (!named)
        return malformed("a header line without a name");
    return true;
}

bool HttpResponseHead::malformed(const char *what)
{
    fault = what;
    return false;
}
