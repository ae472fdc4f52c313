#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QtGlobal>

ScopedWorkDir::ScopedWorkDir() : previous(QDir::currentPath())
{
    QDir::setCurrent(dir.path());
}

ScopedWorkDir::~ScopedWorkDir()
{
    QDir::setCurrent(previous);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

namespace {
QMutex captureMutex;
QStringList captured;
QtMessageHandler previousHandler = nullptr;

void captureHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker lock(&captureMutex);
        captured.append(message);
    }
    if (previousHandler)
        previousHandler(type, context, message);
}
} // namespace

MessageCapture::MessageCapture()
{
    QMutexLocker lock(&captureMutex);
    captured.clear();
    previousHandler = qInstallMessageHandler(captureHandler);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(previousHandler);
    previousHandler = nullptr;
}

QStringList MessageCapture::lines() const
{
    QMutexLocker lock(&captureMutex);
    return captured;
}
