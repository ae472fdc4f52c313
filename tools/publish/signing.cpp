#include "signing.h"

#include "updater/manifestsignature.h"

#include <QFile>
#include <QFileInfo>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <optional>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace Publish {

namespace {

using ManifestSignature::fingerprint;
using ManifestSignature::kPrivateKeyPrefix;

constexpr int kKeyBytes = 32;
constexpr int kSignatureBytes = 64;
// A key file is one line of at most 67 characters.
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

// The key of a public key file, or nullopt when the file cannot be read as one.
std::optional<QByteArray> readPublicKeyFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray decoded;
    if (!decodeExactBase64(file.read(kMaxKeyFileBytes), kKeyBytes, &decoded))
        return std::nullopt;
    return decoded;
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
    QByteArray seedText = kPrivateKeyPrefix +
                          QByteArray(reinterpret_cast<const char *>(seed), kKeyBytes).toBase64() +
                          '\n';
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

SigningKey readSigningKey(const QString &path, const QList<QByteArray> &trusted)
{
    SigningKey key;
    const QString wanted = QStringLiteral(": not a private key file of 'embercrest-publish "
                                          "keygen' (%1 and the base64 of a 32-byte Ed25519 key)")
                               .arg(QString::fromLatin1(kPrivateKeyPrefix));
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
    const bool prefixed = text.startsWith(kPrivateKeyPrefix);
    if (text.size() > kMaxKeyFileBytes ||
        !decodeExactBase64(prefixed ? text.mid(kPrivateKeyPrefix.size()) : text, kKeyBytes,
                           &key.seed)) {
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

    // NAME.pub, as keygen wrote it beside NAME.key.
    QString pairPath = path;
    if (pairPath.endsWith(QLatin1String(".key")))
        pairPath.chop(4);
    pairPath += QStringLiteral(".pub");
    const std::optional<QByteArray> pair = readPublicKeyFile(pairPath);
    QString mismatch;
    if (pair && !prefixed && *pair == key.seed)
        mismatch = path + QStringLiteral(": holds the public key of %1, not its private key: "
                                         "sign with the private key file that keygen wrote")
                              .arg(pairPath);
    else if (pair && *pair != publicKey)
        mismatch = path + QStringLiteral(": is not the private key of %1 beside it: it signs "
                                         "for key %2, and %1 holds key %3")
                              .arg(pairPath, fingerprint(publicKey), fingerprint(*pair));
    const bool confirmed = prefixed || (pair && *pair == publicKey) || trusted.contains(publicKey);
    if (!mismatch.isEmpty() || !confirmed) {
        key.seed.clear();
        key.problem = !mismatch.isEmpty()
                          ? mismatch
                          : path + QStringLiteral(": holds the bare base64 of 32 bytes, as a "
                                                  "public key file does (and a private key of "
                                                  "an older keygen); nothing shows that it is "
                                                  "a private key: no %1 beside it holds its "
                                                  "public key, and it signs for none of the "
                                                  "keys that the launchers trust (--trusted). "
                                                  "A public key cannot sign; if "
                                                  "it is a private key, put %2 in front of "
                                                  "its text (docs/publishing.md, \"Keys of "
                                                  "older versions\")")
                                       .arg(pairPath, QString::fromLatin1(kPrivateKeyPrefix));
        return key;
    }
    if (!prefixed)
        key.warning = path + QStringLiteral(": a private key without the %1 in front, as older "
                                            "versions wrote it: a build option cannot tell it "
                                            "from a public key; put %1 in front of its text "
                                            "(docs/publishing.md, \"Keys of older versions\")")
                                 .arg(QString::fromLatin1(kPrivateKeyPrefix));
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

TrustedKeys readTrustedKeys(const QStringList &values, const QString &origin)
{
    TrustedKeys trusted;
    trusted.origin = origin;
    for (const QString &value : values) {
        QByteArray text = value.toLatin1();
        QString file;
        if (QFileInfo(value).isFile()) {
            QFile keyFile(value);
            if (!keyFile.open(QIODevice::ReadOnly)) {
                trusted.problem = value + QStringLiteral(": cannot read: ") + keyFile.errorString();
                return trusted;
            }
            text = keyFile.read(kMaxKeyFileBytes);
            file = value;
        }
        const QString shown = file.isEmpty() ? origin : file;
        if (text.trimmed().startsWith(kPrivateKeyPrefix)) {
            trusted.problem = shown + QStringLiteral(": a private key (NAME.key), where the public "
                                                     "keys that launchers trust (NAME.pub) "
                                                     "belong");
            return trusted;
        }
        const ManifestSignature::KeyList list = ManifestSignature::parseKeyList(text);
        if (!list.problem.isEmpty()) {
            trusted.problem = shown + QStringLiteral(": ") + list.problem;
            return trusted;
        }
        for (const QByteArray &key : list.keys) {
            const bool known = std::any_of(trusted.keys.cbegin(), trusted.keys.cend(),
                                           [&key](const TrustedKey &k) { return k.key == key; });
            if (!known)
                trusted.keys << TrustedKey{key, file};
        }
    }
    if (trusted.keys.size() > ManifestSignature::kMaxPublicKeys) {
        trusted.problem = origin + QStringLiteral(": %1 keys; a launcher trusts at most %2")
                                       .arg(trusted.keys.size())
                                       .arg(ManifestSignature::kMaxPublicKeys);
        trusted.keys.clear();
    }
    return trusted;
}

QList<QByteArray> rawKeys(const TrustedKeys &trusted)
{
    QList<QByteArray> keys;
    for (const TrustedKey &key : trusted.keys)
        keys << key.key;
    return keys;
}

QString describeKeys(const TrustedKeys &trusted)
{
    QStringList shown;
    for (const TrustedKey &key : trusted.keys)
        shown << (key.file.isEmpty()
                      ? fingerprint(key.key)
                      : fingerprint(key.key) + QStringLiteral(" (") + key.file + QLatin1Char(')'));
    return shown.join(QStringLiteral(", "));
}

} // namespace Publish
