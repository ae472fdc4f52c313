#include "stagedfile.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cstdio>

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

QString randomSuffix()
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    QString suffix(6, QLatin1Char('x'));
    for (QChar &c : suffix)
        c = QLatin1Char(letters[QRandomGenerator::global()->bounded(int(sizeof letters - 1))]);
    return suffix;
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
    // A fresh name each time (never truncating a file that is there): a few tries against
    // leftovers of an earlier crash.
    for (int attempt = 0; attempt < 8; ++attempt) {
        temp.setFileName(target + QLatin1Char('.') + randomSuffix());
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
    if (temp.write(bytes) == bytes.size())
        return true;
    error = temp.errorString();
    return false;
}

bool StagedFile::commit()
{
    if (!temp.isOpen())
        return false;
    temp.close(); // flushes Qt's buffer: a failure shows as an error
    if (temp.error() != QFileDevice::NoError) {
        error = temp.errorString();
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
