#pragma once

#include <QByteArray>
#include <QString>

// Ed25519 keys and signatures of the publisher. A private key file holds the base64 of the
// 32-byte seed and a newline, a public key file the base64 of the 32-byte public key and a
// newline, a signature file the base64 of the 64-byte signature and a newline.
namespace Publish {

struct SigningKey
{
    QByteArray seed;      // 32 bytes
    QByteArray publicKey; // base64, as the launcher is built with
    QString problem;      // why the file is no usable key; empty when it is one
};

// Writes NAME.key (mode 0600) and NAME.pub. Refuses to replace either file. Returns the
// public key's base64 text, or an empty text with *problem set.
QByteArray generateKeyFiles(const QString &name, QString *problem);

// Reads a private key file as generateKeyFiles() writes it.
SigningKey readSigningKey(const QString &path);

// The signature file's bytes for message, or empty when signing failed.
QByteArray signatureFile(const SigningKey &key, const QByteArray &message);

} // namespace Publish
