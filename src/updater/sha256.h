#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

// SHA-256 through OpenSSL's libcrypto, which uses the processor's SHA instructions where there
// are any (several times faster than portable code: gigabytes of game data are hashed).
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void reset();
    void addData(const char *data, qint64 size);
    void addData(const QByteArray &bytes) { addData(bytes.constData(), bytes.size()); }
    // 64 lowercase hex digits of everything added since the last reset(); resets.
    QByteArray hexResult();

    // Adds the first `bytes` bytes of a file; false when it has fewer or cannot be read.
    bool addFile(const QString &path, qint64 bytes);
    void swap(Sha256 &other) { context.swap(other.context); }

private:
    struct Context;
    std::unique_ptr<Context> context;
};
