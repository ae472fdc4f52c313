#include "manifestsignature.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <openssl/evp.h>

#include <memory>

namespace ManifestSignature {

namespace {

constexpr int kPublicKeyBytes = 32;
constexpr int kSignatureBytes = 64;

struct PkeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

bool ed25519Verifies(const QByteArray &message, const QByteArray &signature,
                     const QByteArray &publicKey)
{
    const std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(publicKey.constData()),
        size_t(publicKey.size())));
    const std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
    if (!key || !context)
        return false;
    // Ed25519 hashes internally: no digest is named, and the message is given whole.
    if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(),
                            reinterpret_cast<const unsigned char *>(signature.constData()),
                            size_t(signature.size()),
                            reinterpret_cast<const unsigned char *>(message.constData()),
                            size_t(message.size())) == 1;
}

Verdict refused(const QString &reason)
{
    return {false, reason, -1};
}

// The refusal of a signature that holds for none of the trusted keys. A manifest that names
// another key, and whose signature holds for it, was signed with a key this launcher was not
// built with: a wrong key, or a rotation that this launcher missed. Otherwise the manifest or
// its signature changed after signing, or the key is unknown.
QString mismatch(const QByteArray &manifest, const QByteArray &signature,
                 const QList<QByteArray> &keys)
{
    const std::optional<QByteArray> named = namedKey(manifest);
    if (named && !keys.contains(*named) && ed25519Verifies(manifest, signature, *named)) {
        QStringList trusted;
        for (const QByteArray &key : keys)
            trusted << fingerprint(key);
        return QStringLiteral("signed by key %1, this launcher trusts %2: a key that this "
                              "launcher was not built with (a wrong key, or a key rotation that "
                              "this launcher missed)")
            .arg(fingerprint(*named), trusted.join(QStringLiteral(", ")));
    }
    return keys.size() == 1 ? QStringLiteral("the signature does not match the manifest")
                            : QStringLiteral("the signature does not match the manifest with "
                                             "any of the %1 public keys")
                                  .arg(keys.size());
}

} // namespace

std::optional<QByteArray> decodeExactBase64(const QByteArray &text, int bytes)
{
    const QByteArray trimmed = text.trimmed();
    const QByteArray decoded = QByteArray::fromBase64(trimmed);
    // fromBase64() skips what it cannot read; encoding back tells garbage from a real text.
    if (decoded.size() != bytes || decoded.toBase64() != trimmed)
        return std::nullopt;
    return decoded;
}

KeyList parseKeyList(const QByteArray &text)
{
    static const QRegularExpression separator(QStringLiteral("[;,]"));
    KeyList list;
    const QStringList items = QString::fromLatin1(text).split(separator);
    int number = 0;
    for (const QString &item : items) {
        if (item.trimmed().isEmpty())
            continue; // "a;b;" is a list of two
        ++number;
        const std::optional<QByteArray> key = decodeExactBase64(item.toLatin1(), kPublicKeyBytes);
        if (item.trimmed().toLatin1().startsWith(kPrivateKeyPrefix)) {
            list.problem = QStringLiteral("key %1 of the list is a private key (NAME.key); the "
                                          "list takes public keys (NAME.pub)")
                               .arg(number);
        } else if (!key) {
            list.problem = QStringLiteral("public key %1 of the list is not the base64 of "
                                          "32 bytes")
                               .arg(number);
        } else if (list.keys.contains(*key)) {
            list.problem =
                QStringLiteral("public key %1 of the list repeats an earlier one").arg(number);
        } else if (number > kMaxPublicKeys) {
            list.problem =
                QStringLiteral("the key list holds more than %1 public keys").arg(kMaxPublicKeys);
        }
        if (!list.problem.isEmpty()) {
            list.keys.clear();
            return list;
        }
        list.keys << *key;
    }
    if (list.keys.isEmpty())
        list.problem = QStringLiteral("the key list holds no public key");
    return list;
}

Verdict verify(const QByteArray &manifest, const std::optional<QByteArray> &signatureFile,
               const QByteArray &publicKeys)
{
    const KeyList keys = parseKeyList(publicKeys);
    if (!keys.problem.isEmpty())
        return refused(keys.problem);
    if (!signatureFile)
        return refused(QStringLiteral("no signature file"));
    if (signatureFile->size() > kMaxSignatureFileBytes)
        return refused(QStringLiteral("the signature file is larger than %1 bytes")
                           .arg(kMaxSignatureFileBytes));
    if (signatureFile->trimmed().isEmpty())
        return refused(QStringLiteral("the signature file is empty"));
    const std::optional<QByteArray> signature = decodeExactBase64(*signatureFile, kSignatureBytes);
    if (!signature)
        return refused(QStringLiteral("the signature file is not the base64 of a 64-byte "
                                      "signature"));
    for (int i = 0; i < keys.keys.size(); ++i) {
        if (ed25519Verifies(manifest, *signature, keys.keys.at(i)))
            return {true, QString(), i};
    }
    return refused(mismatch(manifest, *signature, keys.keys));
}

std::optional<QByteArray> namedKey(const QByteArray &manifest)
{
    const QJsonValue key = QJsonDocument::fromJson(manifest)
                               .object()
                               .value(QStringLiteral("security"))
                               .toObject()
                               .value(QStringLiteral("key"));
    return decodeExactBase64(key.toString().toLatin1(), kPublicKeyBytes);
}

QString fingerprint(const QByteArray &publicKey)
{
    return QString::fromLatin1(publicKey.toBase64().left(8)) + QStringLiteral("...");
}

QByteArray effectivePublicKey(const QByteArray &builtIn, const QByteArray &runTime)
{
    const QByteArray given = runTime.trimmed();
    return given.isEmpty() ? builtIn.trimmed() : given;
}

} // namespace ManifestSignature
