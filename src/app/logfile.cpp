#include "logfile.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>

namespace LogFile {

const char FileName[] = "embercrest-launcher.log";

namespace {

struct State
{
    QMutex mutex;
    QString path;
    qint64 limit = DefaultLimit;
    QtMessageHandler previous = nullptr;
    QFile file;
    bool unwritable = false;
};

State &state()
{
    static State s;
    return s;
}

// Makes room for `incoming` bytes: a full log becomes the previous one (or, when that cannot be
// replaced, is removed). False when it can be neither moved nor removed, as when another program
// holds it on Windows or the folder is not writable: the line is then dropped, so that the file
// stays within its bound, and the next line tries again.
bool makeRoom(State &s, qint64 incoming)
{
    if (s.file.size() + incoming <= s.limit || s.file.size() == 0)
        return true;
    s.file.close();
    const QString old = s.path + QLatin1String(".old");
    QFile::remove(old);
    return QFile::rename(s.path, old) || QFile::remove(s.path);
}

void append(State &s, const QByteArray &line)
{
    if (s.unwritable)
        return;
    for (int attempt = 0; attempt < 2; ++attempt) { // the second after a rotation, to a new file
        if (!s.file.isOpen()) {
            s.file.setFileName(s.path);
            if (!s.file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
                s.unwritable = true;
                return;
            }
        }
        if (!makeRoom(s, line.size()))
            return;
        if (s.file.isOpen()) {
            s.file.write(line);
            return;
        }
    }
}

// Writes one character as it stands in the file and returns its length: anything that could end
// a line or steer a terminal becomes a visible escape, so that one message stays one line
// whatever text a server put in it. A backslash stays as it is, so that Windows paths stay
// readable: a `\n` in the file may then also be a backslash and an n that the message carried,
// but it never ends a line. (QDebug's quoting writes such a backslash as `\\` anyway.)
int encodeCharacter(char *out, char32_t c)
{
    static const char hex[] = "0123456789abcdef";
    if (c < 0x20 || c == 0x7f) {
        out[0] = '\\';
        switch (c) {
        case '\n':
            out[1] = 'n';
            return 2;
        case '\r':
            out[1] = 'r';
            return 2;
        case '\t':
            out[1] = 't';
            return 2;
        default:
            out[1] = 'x';
            out[2] = hex[c >> 4];
            out[3] = hex[c & 0xf];
            return 4;
        }
    }
    // C1 controls, the line and paragraph separators, halves of a broken surrogate pair, and the
    // marks and controls of text direction, which can make a line read as another one
    // (U+202E turns what follows around).
    const bool bidi = c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) ||
                      (c >= 0x2066 && c <= 0x2069);
    if ((c >= 0x80 && c <= 0x9f) || c == 0x2028 || c == 0x2029 || (c >= 0xd800 && c <= 0xdfff) ||
        bidi) {
        out[0] = '\\';
        out[1] = 'u';
        for (int i = 0; i < 4; ++i)
            out[2 + i] = hex[(c >> (12 - 4 * i)) & 0xf];
        return 6;
    }
    if (c < 0x80) {
        out[0] = char(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = char(0xc0 | (c >> 6));
        out[1] = char(0x80 | (c & 0x3f));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = char(0xe0 | (c >> 12));
        out[1] = char(0x80 | ((c >> 6) & 0x3f));
        out[2] = char(0x80 | (c & 0x3f));
        return 3;
    }
    out[0] = char(0xf0 | (c >> 18));
    out[1] = char(0x80 | ((c >> 12) & 0x3f));
    out[2] = char(0x80 | ((c >> 6) & 0x3f));
    out[3] = char(0x80 | (c & 0x3f));
    return 4;
}

// The line as written: escaped, UTF-8, ending in its newline, and at most LineLimit bytes. A
// longer one is cut between two characters (or escapes) and says how many bytes it left out; only
// the part kept is built.
QByteArray fileLine(const QString &text)
{
    static const char markerStart[] = "\xe2\x80\xa6 [cut: "; // "… [cut: N bytes]"
    static const char markerEnd[] = " bytes]";
    const qint64 room = LineLimit - 1; // for the newline
    const qint64 roomBeforeMarker = room - qint64(sizeof markerStart - 1) -
                                    20 /* digits of any count */ - qint64(sizeof markerEnd - 1);
    QByteArray line;
    line.reserve(int(qMin<qint64>(room, qint64(text.size()) * 3)) + 1);
    qint64 total = 0;
    int cutAt = 0;
    const QChar *const end = text.constData() + text.size();
    for (const QChar *p = text.constData(); p != end; ++p) {
        char32_t c = p->unicode();
        if (p->isHighSurrogate() && p + 1 != end && p[1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(p[0], p[1]);
            ++p;
        }
        char encoded[6];
        const int n = encodeCharacter(encoded, c);
        total += n;
        if (total <= room) {
            line.append(encoded, n);
            if (total <= roomBeforeMarker)
                cutAt = int(total);
        }
    }
    if (total > room) {
        line.truncate(cutAt);
        line += markerStart;
        line += QByteArray::number(total - cutAt);
        line += markerEnd;
    }
    line += '\n';
    return line;
}

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    State &s = state();
    if (s.previous)
        s.previous(type, context, message);
    // A line logged while this one is written (by the file code itself) must not lock again.
    static thread_local bool writing = false;
    if (writing)
        return;
    writing = true;
    // Escaped after formatting, so that the message pattern and QDebug's quoting are covered too.
    const QByteArray line =
        fileLine(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz ")) +
                 qFormatLogMessage(type, context, message));
    {
        QMutexLocker lock(&s.mutex);
        append(s, line);
    }
    writing = false;
}

} // namespace

void install(const QString &path, qint64 limit)
{
    State &s = state();
    {
        QMutexLocker lock(&s.mutex);
        s.file.close();
        s.path = path;
        s.limit = limit;
        s.unwritable = false;
    }
    const QtMessageHandler previous = qInstallMessageHandler(handler);
    if (previous != handler)
        s.previous = previous;
}

void uninstall()
{
    State &s = state();
    qInstallMessageHandler(s.previous);
    QMutexLocker lock(&s.mutex);
    s.file.close();
    s.previous = nullptr;
}

} // namespace LogFile
