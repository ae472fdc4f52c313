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

QByteArray Sha256::ofFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QByteArray();
    // Large reads straight into one buffer: the hash, not the system calls, sets the pace.
    constexpr qint64 kBlock = 4 << 20;
    QByteArray buffer(int(kBlock), Qt::Uninitialized);
    Sha256 hash;
    for (;;) {
        const qint64 got = file.read(buffer.data(), kBlock);
        if (got < 0)
            return QByteArray();
        if (got == 0)
            break;
        hash.addData(buffer.constData(), got);
    }
    return hash.hexResult();
}
