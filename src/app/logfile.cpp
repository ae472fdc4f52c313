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
    const QByteArray line =
        (QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz ")) +
         qFormatLogMessage(type, context, message) + QLatin1Char('\n'))
            .toUtf8();
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
