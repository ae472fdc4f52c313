#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVector>

class QNetworkAccessManager;
class QNetworkReply;

// One check of the update server: the manifest request and, when manifests are signed, the
// request of its signature beside it. Both are bounded in size and time. The manifest is judged
// once both have arrived (its signature, then its freshness), and the check ends in one value.
// With a key, a manifest whose host fails is asked for on the remembered mirrors in turn
// (ManifestMirrors), with its signature from the same host.
//
// Both replies come from the updater's manager, whose finished() the updater reads: it hands
// them here (see AppConfig::OnGetJSON).
class ManifestCheck final : public QObject
{
    Q_OBJECT

public:
    struct Result
    {
        QByteArray body; // the manifest to read; empty when there is none to read
        QString refusal; // why a manifest that arrived was refused, for the log
        // The server answered with a manifest and its signature, and this launcher refused it
        // for the signature, the serial or the expiry: not the server's failure but a
        // publisher's, or this launcher's (one that missed a key rotation).
        bool notTrusted = false;
    };

    // Sends the requests through `network`, marked with `id` (UpdaterRequests::checkIdOf). `key`:
    // the base64 keys that the manifest must be signed with (see ManifestSignature); empty: not
    // checked, and no mirror is asked.
    ManifestCheck(QNetworkAccessManager *network, const QUrl &url, const QByteArray &key,
                  quint64 id, QObject *parent = nullptr);

    // The signature reply has ended: it is read and released. Returns the manifest reply that
    // waited for it, if any.
    QNetworkReply *signatureArrived(QNetworkReply *reply);
    // True when the manifest reply is not to be read now: it waits for its signature (held
    // until then), or it failed and a mirror is asked instead (it is released).
    bool holds(QNetworkReply *manifest);
    // Judges the manifest reply: a refused one leaves nothing to read, and says why in the log.
    Result conclude(QNetworkReply *manifest);

private:
    void send(const QUrl &url);
    bool askMirror(QNetworkReply *failed);
    QString signatureProblem(const QByteArray &body) const;
    QString freshnessProblem(const QByteArray &body) const;

    QNetworkAccessManager *network;
    const QByteArray key;
    const quint64 id;
    QVector<QUrl> mirrors; // not asked yet
    QUrl signatureUrl;     // of the host asked now
    QNetworkReply *heldManifest = nullptr;
    // The signature file as it arrived: at most one byte more than a signature file may hold.
    QByteArray signature;
    bool signatureEnded = false;
    bool signatureFetched = false; // a 2xx reply, read to its end or to the size limit
    QString signatureFailure;      // why it was not fetched
};
