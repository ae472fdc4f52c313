#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// Detached Ed25519 signatures of the update manifest: <manifest>.sig beside it holds the
// base64 of the 64-byte signature of the manifest's exact bytes. A launcher built with a
// public key refuses a manifest whose signature is missing or does not verify.
//
// The manifest itself may name the public key it is signed for, in "security": {"key":
// "<base64>"}. That is a hint for the log only, never a reason to trust: when the signature
// holds for none of the trusted keys, it tells a manifest signed with another key from one
// changed after signing.
namespace ManifestSignature {

// A signature file is a line of 88 characters; anything much longer is not one, and is not
// read further.
constexpr int kMaxSignatureFileBytes = 4096;

struct Verdict
{
    bool accepted = false;
    QString reason;    // why it was refused, for the log; empty when accepted
    int keyIndex = -1; // the trusted key, in list order, that the signature holds for
};

// A private key file of 'embercrest-publish keygen' starts with this text, so that it cannot be
// taken for a public key (both hold 32 bytes in base64).
inline const QByteArray kPrivateKeyPrefix = QByteArrayLiteral("EMBERCREST-PRIVATE-KEY:");

// How people tell keys apart: the first 8 characters of the public key's base64 text and "...",
// as configure, the publisher and the log show them. ASCII, so that a Windows console in any
// code page shows it as written.
QString fingerprint(const QByteArray &publicKey);

// Up to this many keys may be trusted at once, so that a new key can ship in a release before
// manifests are signed with it, and the old one be dropped later.
constexpr int kMaxPublicKeys = 4;

struct KeyList
{
    QList<QByteArray> keys; // 32 bytes each
    QString problem;        // why the list is refused; empty when it is usable
};

// A key list as built in or given at run time: base64 keys separated by ";" (a CMake list) or
// ",", with white space around each allowed. A malformed or repeated key, a private key, more
// than kMaxPublicKeys keys or none at all makes the whole list unusable: a list that is not
// what its author meant must not quietly trust less, or more, than they wrote.
KeyList parseKeyList(const QByteArray &text);

// Checks signatureFile (the bytes of <manifest>.sig, or nullopt when none could be fetched)
// against the manifest's bytes and a key list as parseKeyList() reads it. A signature made
// with any one of the keys is accepted. A refusal of a signature that holds for none of them
// says, when the manifest names its key, whether it holds for that one: "signed by key tL7C...,
// this launcher trusts dkE8..." (another key), or a mismatch (changed after signing).
Verdict verify(const QByteArray &manifest, const std::optional<QByteArray> &signatureFile,
               const QByteArray &publicKeys);

// The public key (32 bytes) that the manifest names in "security": {"key": ...}, or nullopt
// when it names none that could be one.
std::optional<QByteArray> namedKey(const QByteArray &manifest);

// The key list that manifests are checked with: the one given at run time when there is one,
// otherwise the built-in one. Empty means no check. A run-time value can replace a built-in
// list but never remove it: an empty one leaves the built-in keys in force.
QByteArray effectivePublicKey(const QByteArray &builtIn, const QByteArray &runTime);

// base64 text of exactly `bytes` bytes, in canonical form, with surrounding white space
// (a trailing newline) allowed. nullopt for anything else.
std::optional<QByteArray> decodeExactBase64(const QByteArray &text, int bytes);

} // namespace ManifestSignature
