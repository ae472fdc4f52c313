#include "filedigest.h"

#include <QFile>

#include <openssl/evp.h>

#include <memory>

namespace Publish {

namespace {

constexpr qint64 kChunkBytes = 1024 * 1024;

struct MdCtxFree
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

} // namespace

FileDigest digestFile(const QString &path)
{
    FileDigest digest;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        digest.problem = QStringLiteral("cannot read: ") + file.errorString();
        return digest;
    }
    const std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        digest.problem = QStringLiteral("cannot start SHA-256");
        return digest;
    }
    QByteArray chunk(int(kChunkBytes), Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 got = file.read(chunk.data(), kChunkBytes);
        if (got < 0) {
            digest.problem = QStringLiteral("cannot read: ") + file.errorString();
            return digest;
        }
        if (got == 0)
            break;
        EVP_DigestUpdate(context.get(), chunk.constData(), size_t(got));
        total += got;
    }
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), hash, &length) != 1) {
        digest.problem = QStringLiteral("cannot finish SHA-256");
        return digest;
    }
    digest.size = total;
    digest.sha256 = QByteArray(reinterpret_cast<const char *>(hash), int(length)).toHex();
    return digest;
}

} // namespace Publish
