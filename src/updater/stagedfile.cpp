#include "stagedfile.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringView>

#include <cstdio>
#include <cstring>

#if defined(Q_OS_WIN)
#include <windows.h>
#endif

namespace {

// Writes through a link, as QSaveFile does: the link stays, the file it names is replaced.
QString resolvedTarget(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isSymLink())
        return path;
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? path : canonical; // a dangling link is replaced itself
}

// The temporary file is "<target>.emberpart-" and six of these: a name only the launcher makes.
const char kTempMark[] = ".emberpart-";
const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr int kSuffixLength = 6;

QString randomSuffix()
{
    QString suffix(kSuffixLength, QLatin1Char('x'));
    for (QChar &c : suffix)
        c = QLatin1Char(kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters - 1))]);
    return QLatin1String(kTempMark) + suffix;
}

bool isOwnTempName(const QString &name, const QString &targetName)
{
    const QString prefix = targetName + QLatin1String(kTempMark);
    if (name.size() != prefix.size() + kSuffixLength || !name.startsWith(prefix))
        return false;
    for (const QChar c : QStringView(name).mid(prefix.size())) {
        if (c.unicode() == 0 || c.unicode() > 0x7f || !std::strchr(kLetters, char(c.unicode())))
            return false;
    }
    return true;
}

// A launcher killed during a transfer leaves its temporary file behind; the next one that
// writes the target removes such files, and nothing else.
void removeLeftovers(const QString &target)
{
    const QFileInfo info(target);
    const QString targetName = info.fileName();
    const QStringList names = info.dir().entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QFileInfo entry(info.dir().filePath(name));
        if (!entry.isSymLink() && isOwnTempName(name, targetName))
            QFile::remove(entry.filePath());
    }
}

// Atomically puts `from` in the place of `to`, replacing a file there.
bool replaceFile(const QString &from, const QString &to)
{
#if defined(Q_OS_WIN)
    // Write-through: the move is on disk when this returns, since Windows offers no way to flush
    // a folder later.
    return MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                       reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
#else
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}

} // namespace

bool StagedFile::open(const QString &path)
{
    discard();
    target = resolvedTarget(path);
    error.clear();
    const QFileInfo existing(target);
    if (existing.isDir() || (existing.exists() && !existing.isWritable())) {
        error = QStringLiteral("%1 is a folder or may not be written").arg(target);
        return false;
    }
    removeLeftovers(target);
    // A fresh name each time, never truncating a file that is there.
    for (int attempt = 0; attempt < 8; ++attempt) {
        temp.setFileName(target + randomSuffix());
        if (temp.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (existing.exists())
                temp.setPermissions(existing.permissions());
            return true;
        }
    }
    error = temp.errorString();
    return false;
}

bool StagedFile::write(const QByteArray &bytes)
{
    qint64 written = temp.write(bytes);
    // A short write may come without an error (the disk filled up during it): writing the rest
    // either goes through or fails with the reason the system gives.
    if (written >= 0 && written < bytes.size() && temp.error() == QFileDevice::NoError) {
        const qint64 rest = temp.write(bytes.constData() + written, bytes.size() - written);
        written = rest < 0 ? rest : written + rest;
    }
    if (written == bytes.size())
        return true;
    setWriteError();
    return false;
}

// The player needs to know which file could not be written and why ("No space left on device").
void StagedFile::setWriteError()
{
    const QString reason = temp.error() == QFileDevice::NoError
                               ? QStringLiteral("the file system took only part of the data")
                               : temp.errorString();
    error = QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(target), reason);
}

bool StagedFile::commit()
{
    if (!temp.isOpen())
        return false;
    temp.close(); // flushes Qt's buffer: a failure shows as an error
    if (temp.error() != QFileDevice::NoError) {
        setWriteError();
        discard();
        return false;
    }
    if (!replaceFile(temp.fileName(), target)) {
        error = QStringLiteral("Cannot move the downloaded file over %1").arg(target);
        discard();
        return false;
    }
    temp.setFileName(QString());
    persistent = false;
    return true;
}

void StagedFile::discard()
{
    persistent = false;
    if (temp.fileName().isEmpty())
        return;
    temp.close();
    temp.remove();
    temp.setFileName(QString());
}

bool StagedFile::openPartial(const QString &path, const QString &partial)
{
    discard();
    target = resolvedTarget(path);
    error.clear();
    temp.setFileName(partial);
    if (!QFileInfo(partial).isFile() || !temp.open(QIODevice::WriteOnly | QIODevice::Append)) {
        error = temp.errorString();
        temp.setFileName(QString());
        return false;
    }
    persistent = true;
    return true;
}

// Closed and opened again around the move: Windows cannot move a file that is open.
bool StagedFile::makePersistent(const QString &partial)
{
    if (!temp.isOpen())
        return false;
    temp.close();
    const QString from = temp.fileName();
    if (!replaceFile(from, partial)) {
        temp.open(QIODevice::WriteOnly | QIODevice::Append);
        return false;
    }
    temp.setFileName(partial);
    persistent = temp.open(QIODevice::WriteOnly | QIODevice::Append);
    if (!persistent)
        error = temp.errorString();
    return persistent;
}

bool StagedFile::restart()
{
    return temp.isOpen() && temp.resize(0) && temp.seek(0);
}

void StagedFile::release()
{
    persistent = false;
    temp.close();
    temp.setFileName(QString());
}
