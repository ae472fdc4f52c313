#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Ed25519 keys and signatures of the publisher. A private key file holds
// "EMBERCREST-PRIVATE-KEY:", the base64 of the 32-byte seed and a newline; a public key file
// the base64 of the 32-byte public key and a newline; a signature file the base64 of the
// 64-byte signature and a newline. The prefix keeps a private key from passing for a public
// one (in the build option, in --trusted); private keys written before it, the bare base64 of
// the seed, are still read (see readSigningKey()).
namespace Publish {

struct SigningKey
{
    QByteArray seed;      // 32 bytes
    QByteArray publicKey; // base64, as the launcher is built with
    QString problem;      // why the file is no usable key; empty when it is one
    QString warning;      // a usable key in the old format: how to give it the new one
};

// A public key that launchers trust, and the file it was read from, if any.
struct TrustedKey
{
    QByteArray key; // 32 bytes
    QString file;   // empty when it was given as text
};

struct TrustedKeys
{
    QList<TrustedKey> keys;
    QString problem; // why the values are not such keys; empty when they are
    QString origin;  // where they came from, for messages: "--trusted", "this build"
};

// Writes NAME.key (mode 0600) and NAME.pub. Refuses to replace either file. Returns the
// public key's base64 text, or an empty text with *problem set.
QByteArray generateKeyFiles(const QString &name, QString *problem);

// Reads a private key file as generateKeyFiles() writes it, or as it wrote it before the
// prefix. A bare base64 of 32 bytes reads the same as a public key file, so such a key is taken
// as private only when something confirms it: NAME.pub beside NAME.key holds its public key,
// or it signs for one of `trusted` (32 bytes each). A NAME.pub beside it that holds another
// key, or the same text as the key file, is a problem with either format: the two are not a
// pair.
SigningKey readSigningKey(const QString &path, const QList<QByteArray> &trusted = {});

// The signature file's bytes for message, or empty when signing failed.
QByteArray signatureFile(const SigningKey &key, const QByteArray &message);

// The keys of --trusted: each value is a public key file (NAME.pub), or a key list as the
// build option EMBERCREST_MANIFEST_PUBKEY takes it. A private key, a malformed key or more
// than 4 keys in all is a problem; a key given twice counts once.
TrustedKeys readTrustedKeys(const QStringList &values, const QString &origin);

// The 32-byte keys alone.
QList<QByteArray> rawKeys(const TrustedKeys &trusted);

// "tL7CqXr2... (realm.pub)" for each key, joined by ", ".
QString describeKeys(const TrustedKeys &trusted);

} // namespace Publish
