#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Detached Ed25519 signatures of the update manifest: <manifest>.sig beside it holds the
// base64 of the 64-byte signature of the manifest's exact bytes. A launcher built with a
// public key refuses a manifest whose signature is missing or does not verify.
namespace ManifestSignature {

// A signature file is a line of 88 characters; anything much longer is not one, and is not
// read further.
constexpr int kMaxSignatureFileBytes = 4096;

struct Verdict
{
    bool accepted = false;
    QString reason; // why it was refused, for the log; empty when accepted
};

// Checks signatureFile (the bytes of <manifest>.sig, or nullopt when none could be fetched)
// against the manifest's bytes and the base64 public key.
Verdict verify(const QByteArray &manifest, const std::optional<QByteArray> &signatureFile,
               const QByteArray &publicKeyBase64);

// The key that manifests are checked with: the one given at run time when there is one,
// otherwise the built-in one. Empty means no check. A run-time value can replace a built-in
// key but never remove it: an empty one leaves the built-in key in force.
QByteArray effectivePublicKey(const QByteArray &builtIn, const QByteArray &runTime);

// base64 text of exactly `bytes` bytes, in canonical form, with surrounding white space
// (a trailing newline) allowed. nullopt for anything else.
std::optional<QByteArray> decodeExactBase64(const QByteArray &text, int bytes);

} // namespace ManifestSignature
