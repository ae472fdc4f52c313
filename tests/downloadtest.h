#pragma once

// Helpers shared by the download suites: one run of the real updater against the test server,
// a fresh client for each test, and checks of what lands on disk.

#include "testhttpserver.h"
#include "testutil.h"
#include "updater/appconfig.h"
#include "updatertest.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QtTest>

namespace UpdaterTest {

// One update run of the real updater: the constructor asks for the manifest, the queue fetches
// what it lists. Messages are captured from before the constructor on.
struct Run
{
    MessageCapture capture;
    AppConfig updater;
    QSignalSpy finished{&updater, SIGNAL(finished())};
    QSignalSpy done{&updater, SIGNAL(downloadFinishedMain())};
    QSignalSpy failed{&updater, SIGNAL(downloadFailedMain())};
    QSignalSpy progress{&updater, SIGNAL(SendData(qint64, qint64, QString))};

    bool waitForEnd(int timeout = 20000)
    {
        return QTest::qWaitFor([this] { return done.count() + failed.count() > 0; }, timeout);
    }
    // The lines from the first one equal to `from` on.
    QStringList linesFrom(const QString &from) const
    {
        const QStringList all = capture.lines();
        const int start = all.indexOf(from);
        return start < 0 ? QStringList() : all.mid(start);
    }
};

// Every file below `dir`, relative to it, sorted.
inline QStringList filesBelow(const QString &dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(dir).relativeFilePath(it.next());
    files.sort();
    return files;
}

inline bool samePattern(const QString &path, qint64 size, quint32 seed)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() != size)
        return false;
    for (qint64 offset = 0; offset < size; offset += 1 << 20) {
        if (file.read(1 << 20) !=
            TestHttpServer::patternBytes(offset, qMin<qint64>(1 << 20, size - offset), seed))
            return false;
    }
    return true;
}

// `manifest` with an "integrity" member that gives each URL the size and SHA-256 of its bytes.
inline QByteArray withIntegrity(const QByteArray &manifest, const QMap<QString, QByteArray> &files)
{
    QJsonObject top = QJsonDocument::fromJson(manifest).object();
    QJsonObject entries;
    for (auto it = files.begin(); it != files.end(); ++it)
        entries.insert(
            it.key(),
            QJsonObject{
                {"size", it.value().size()},
                {"sha256",
                 QString::fromLatin1(
                     QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256).toHex())}});
    top.insert("integrity", entries);
    return QJsonDocument(top).toJson(QJsonDocument::Compact);
}

// What every download suite's init() and cleanup() do: a fresh working directory and server,
// and a client at 1.0 with ruRU installed whose manifest is on that server.
class DownloadSuite : public QObject
{
protected:
    void setUp()
    {
        work = new ScopedWorkDir;
        server = new TestHttpServer;
        qputenv("EMBERCREST_MANIFEST_URL", server->url(kManifestPath).toEncoded());
        client = writeClientConfig("1.0", {"ruRU"});
    }
    void tearDown()
    {
        delete server;
        delete work;
        qunsetenv("EMBERCREST_TRANSFER_TIMEOUT_MS");
        qunsetenv("EMBERCREST_RATE_WINDOW_S");
        qputenv("EMBERCREST_DELAY_MS", "0");
    }

    QString url(const QString &path) const { return server->url(path).toString(); }
    // A manifest announcing 1.1 to a client at 1.0 with ruRU installed.
    void publish(const QMap<QString, QStringList> &files)
    {
        server->serve(kManifestPath, manifestJson("1.1", files));
    }

    ScopedWorkDir *work = nullptr;
    TestHttpServer *server = nullptr;
    QString client;
};

} // namespace UpdaterTest
