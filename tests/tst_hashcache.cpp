#include "testutil.h"
#include "updater/hashcache.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QTemporaryDir>
#include <QtTest>

// The remembered hashes of files: kept only while the file is the very same one.
class TestHashCache : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void replacedFilesAreHashedAgain_data();
    void replacedFilesAreHashedAgain();
    void storeOfAnOlderKindIsNotRead();

private:
    QTemporaryDir dir;
    QString file;
    QString store;
};

namespace {

const QDateTime kModified = QDateTime::fromMSecsSinceEpoch(Q_INT64_C(1700000000123));

bool writeWithTime(const QString &path, const QByteArray &bytes)
{
    QFile out(path);
    // Written out first: a write after setFileTime() would set the time anew.
    return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size() && out.flush() &&
           out.setFileTime(kModified, QFileDevice::FileModificationTime);
}

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

} // namespace

void TestHashCache::init()
{
    QVERIFY(dir.isValid());
    file = dir.filePath("a.bin");
    store = dir.filePath("hashcache.dat");
    QFile::remove(file);
    QFile::remove(store);
}

void TestHashCache::replacedFilesAreHashedAgain_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("remembered");
    QTest::newRow("untouched") << "none" << true;
    QTest::newRow("renamed over, same size and mtime") << "rename" << false;
    QTest::newRow("rewritten in place, mtime put back (cp -p)") << "rewrite" << false;
}

void TestHashCache::replacedFilesAreHashedAgain()
{
    QFETCH(QString, change);
    QFETCH(bool, remembered);
    QVERIFY(writeWithTime(file, "genuine!"));
    {
        HashCache cache(store);
        cache.remember(file, FileStamp::of(file), sha256("genuine!"));
        QVERIFY(cache.save());
    }

    if (change == "rename") {
        // A new file in its place (created while the old one still exists).
        QVERIFY(writeWithTime(file + ".new", "tampered"));
        QVERIFY(QFile::remove(file));
        QVERIFY(QFile::rename(file + ".new", file));
    } else if (change == "rewrite") {
        // The file system's clock must have moved on, or the rewrite could not be told at all.
        // Read as the cache reads it: Qt's metadataChangeTime() is the mtime on Windows.
        const qint64 before = FileStamp::of(file).changed;
        QTRY_VERIFY(writeWithTime(store + ".probe", "x") &&
                    FileStamp::of(store + ".probe").changed > before);
        QVERIFY(writeWithTime(file, "tampered"));
    }
    const QFileInfo now(file);
    QCOMPARE(now.size(), qint64(8));
    QCOMPARE(now.lastModified(), kModified);

    HashCache cache(store);
    QCOMPARE(cache.lookup(file, FileStamp::of(file)),
             remembered ? sha256("genuine!") : QByteArray());
}

// Written before files had more than a size and an mtime: the lines would be misread.
void TestHashCache::storeOfAnOlderKindIsNotRead()
{
    QVERIFY(writeWithTime(file, "genuine!"));
    QVERIFY(writeFile(store, sha256("genuine!") + " 8 " +
                                 QByteArray::number(kModified.toMSecsSinceEpoch()) + ' ' +
                                 file.toUtf8() + '\n'));
    HashCache cache(store);
    QCOMPARE(cache.lookup(file, FileStamp::of(file)), QByteArray());
}

QTEST_MAIN(TestHashCache)
#include "tst_hashcache.moc"
