#pragma once

#include "manifestreader.h"

#include <QObject>
#include <QString>

class HashCache;

// Whether the file at a target already is the one the manifest lists (its size and SHA-256),
// so that it need not be fetched again. The hash cache answers while the file is unchanged on
// disk; otherwise the file is read on a thread of its own, and decided() follows.
class LocalCopy final : public QObject
{
    Q_OBJECT

public:
    enum class Verdict { Fetch, Unchanged, Hashing };

    explicit LocalCopy(HashCache &cache, QObject *parent = nullptr);

    Verdict check(const QString &path, const FileIntegrity &listed);

signals:
    void decided(bool unchanged);

private:
    HashCache &hashCache;
};
