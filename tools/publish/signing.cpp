#include "signing.h"

#include <QFile>
#include <QFileInfo>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <memory>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace Publish {

namespace {

constexpr int kKeyBytes = 32;
constexpr int kSignatureBytes = 64;
// A key file is one line of 44 characters.
constexpr qint64 kMaxKeyFileBytes = 4096;

struct PkeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree
{
    void operator()(EVP_PKEY_CTX *context) const { EVP_PKEY_CTX_free(context); }
};
struct MdCtxFree
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

const unsigned char *bytesOf(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

// The base64 text of exactly `bytes` bytes, canonical, with a trailing newline allowed.
bool decodeExactBase64(const QByteArray &text, int bytes, QByteArray *decoded)
{
    const QByteArray trimmed = text.trimmed();
    *decoded = QByteArray::fromBase64(trimmed);
    return decoded->size() == bytes && decoded->toBase64() == trimmed;
}

QByteArray rawPublicKey(EVP_PKEY *key)
{
    QByteArray raw(kKeyBytes, Qt::Uninitialized);
    size_t length = size_t(raw.size());
    if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char *>(raw.data()), &length) !=
            1 ||
        length != size_t(kKeyBytes))
        return QByteArray();
    return raw;
}

// Creates path for writing, failing when it exists. A private key is readable by its owner
// only from the moment the file exists.
bool createNewFile(QFile &file, bool privateFile)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(file.fileName()).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, privateFile ? 0600 : 0644);
    if (fd < 0)
        return false;
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
#else
    Q_UNUSED(privateFile)
    return file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
#endif
}

bool writeNewFile(const QString &path, const QByteArray &bytes, bool privateFile, QString *problem)
{
    QFile file(path);
    if (!createNewFile(file, privateFile)) {
        *problem = path + QStringLiteral(": cannot create: ") + file.errorString();
        return false;
    }
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        *problem = path + QStringLiteral(": cannot write: ") + file.errorString();
        file.close();
        file.remove();
        return false;
    }
    return true;
}

} // namespace

QByteArray generateKeyFiles(const QString &name, QString *problem)
{
    const QString keyPath = name + QStringLiteral(".key");
    const QString publicPath = name + QStringLiteral(".pub");
    for (const QString &path : {keyPath, publicPath}) {
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
            *problem = path + QStringLiteral(": exists already; it is not replaced");
            return QByteArray();
        }
    }

    const std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> context(
        EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY *generated = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_keygen(context.get(), &generated) != 1) {
        *problem = QStringLiteral("cannot generate an Ed25519 key");
        return QByteArray();
    }
    const Pkey key(generated);
    unsigned char seed[kKeyBytes];
    size_t seedLength = sizeof seed;
    const QByteArray publicKey = rawPublicKey(key.get());
    if (EVP_PKEY_get_raw_private_key(key.get(), seed, &seedLength) != 1 ||
        seedLength != sizeof seed || publicKey.isEmpty()) {
        *problem = QStringLiteral("cannot read the generated key");
        return QByteArray();
    }
    QByteArray seedText =
        QByteArray(reinterpret_cast<const char *>(seed), kKeyBytes).toBase64() + '\n';
    OPENSSL_cleanse(seed, sizeof seed);
    const QByteArray publicText = publicKey.toBase64();
    const bool written = writeNewFile(keyPath, seedText, true, problem);
    OPENSSL_cleanse(seedText.data(), size_t(seedText.size()));
    if (!written)
        return QByteArray();
    if (!writeNewFile(publicPath, publicText + '\n', false, problem)) {
        QFile::remove(keyPath); // no private key without its public half
        return QByteArray();
    }
    return publicText;
}

SigningKey readSigningKey(const QString &path)
{
    SigningKey key;
    const QString wanted = QStringLiteral(": not a private key file of 'embercrest-publish "
                                          "keygen' (the base64 of a 32-byte Ed25519 key)");
    if (path.endsWith(QLatin1String(".pub"))) {
        key.problem = path + QStringLiteral(": is a public key; sign with the private key file "
                                            "(.key) of the pair");
        return key;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        key.problem = path + QStringLiteral(": cannot read: ") + file.errorString();
        return key;
    }
    const QByteArray text = file.read(kMaxKeyFileBytes + 1);
    if (text.size() > kMaxKeyFileBytes || !decodeExactBase64(text, kKeyBytes, &key.seed)) {
        key.seed.clear();
        key.problem = path + wanted;
        return key;
    }
    const Pkey pkey(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, bytesOf(key.seed), kKeyBytes));
    const QByteArray publicKey = pkey ? rawPublicKey(pkey.get()) : QByteArray();
    if (publicKey.isEmpty()) {
        key.seed.clear();
        key.problem = path + wanted;
        return key;
    }
    key.publicKey = publicKey.toBase64();
    return key;
}

QByteArray signatureFile(const SigningKey &key, const QByteArray &message)
{
    if (key.seed.size() != kKeyBytes)
        return QByteArray();
    const Pkey pkey(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, bytesOf(key.seed), kKeyBytes));
    const std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
    if (!pkey || !context)
        return QByteArray();
    QByteArray signature(kSignatureBytes, Qt::Uninitialized);
    size_t length = size_t(signature.size());
    // Ed25519 hashes internally: no digest is named, and the message is signed whole.
    if (EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                       bytesOf(message), size_t(message.size())) != 1 ||
        length != size_t(kSignatureBytes))
        return QByteArray();
    return signature.toBase64() + '\n';
}

} // namespace Publish
