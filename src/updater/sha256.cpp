#include "sha256.h"

#include <QFile>

#include <openssl/evp.h>

struct Sha256::Context
{
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(md); }
};

Sha256::Sha256() : context(new Context)
{
    reset();
}

Sha256::~Sha256() = default;

void Sha256::reset()
{
    EVP_DigestInit_ex(context->md, EVP_sha256(), nullptr);
}

void Sha256::addData(const char *data, qint64 size)
{
    if (size > 0)
        EVP_DigestUpdate(context->md, data, size_t(size));
}

QByteArray Sha256::hexResult()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context->md, digest, &length);
    reset();
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
}

bool Sha256::addFile(const QString &path, qint64 bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    // Blocks that stay in the processor's cache between the copy and the hash, yet large
    // enough that the system calls cost next to nothing.
    constexpr qint64 kBlock = 256 << 10;
    QByteArray buffer(int(kBlock), Qt::Uninitialized);
    while (bytes > 0) {
        const qint64 got = file.read(buffer.data(), qMin(kBlock, bytes));
        if (got <= 0)
            return false;
        addData(buffer.constData(), got);
        bytes -= got;
    }
    return true;
}
