#include "appconfig.h"

#include "config/config.h"
#include "manifestbody.h"
#include "requests.h"
#include "transferguard.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#ifndef QT_NO_SSL
#include <QSslError>
#endif

AppConfig::AppConfig(QObject *parent) : QObject(parent), network(new QNetworkAccessManager(this))
{
    qRegisterMetaType<QNetworkReply *>("QNetworkReply*");
#ifndef QT_NO_SSL
    // A certificate that the system does not trust ends the request like any failed one; only
    // the log can tell the player's helpers why.
    connect(network, &QNetworkAccessManager::sslErrors, this,
            [](QNetworkReply *reply, const QList<QSslError> &errors) {
                for (const QSslError &error : errors)
                    qDebug().noquote() << QStringLiteral("TLS error from %1: %2")
                                              .arg(reply->url().host(), error.errorString());
            });
#endif
    if (Config::ConfigExists(Config::FileName) && manifestChecked == 0)
        sendManifestRequest();
    qDebug().noquote() << "AppConfig->Constructor: I'm called!";
}

AppConfig::~AppConfig()
{
    // Replies die with the manager; none of their last signals may reach a half-destroyed
    // updater. An unfinished download is dropped by outputFile, leaving the old file.
    network->disconnect(this);
    const QList<QNetworkReply *> replies = network->findChildren<QNetworkReply *>();
    for (QNetworkReply *reply : replies)
        reply->disconnect(this);
    // The current transfer, and any that ended but waits for its deletion, before their replies.
    qDeleteAll(findChildren<FileTransfer *>(QString(), Qt::FindDirectChildrenOnly));
    transfer = nullptr;
    delete network;
    network = nullptr;
    hashCache.save();
}

QUrl AppConfig::manifestUrl()
{
    const QByteArray overridden = qgetenv("EMBERCREST_MANIFEST_URL");
    const QString text = overridden.isEmpty() ? QStringLiteral(EMBERCREST_DEFAULT_MANIFEST_URL)
                                              : QString::fromUtf8(overridden);
    return QUrl(text, QUrl::TolerantMode);
}

// One manager, owned by the updater, serves every check and every download: repeated checks
// cost nothing that outlives them. Every reply it finishes comes to OnGetJSON, once.
void AppConfig::sendManifestRequest()
{
    const QUrl url = manifestUrl();
    const QByteArray key = manifestPublicKey();
    const quint64 checkId = key.isEmpty() ? 0 : ++lastCheckId;
    QNetworkReply *reply = network->get(UpdaterRequests::manifestRequest(url, checkId));
    ManifestBody::collect(reply);
    endWhenUnreasonable(reply, TransferGuard::kMaxManifestBytes);
    if (checkId != 0)
        sendSignatureRequest(url, checkId, key);
    connect(network, &QNetworkAccessManager::finished, this, &AppConfig::OnGetJSON,
            Qt::UniqueConnection);
}

// A manifest or signature that no honest server sends (endless, or at a trickle) is ended;
// OnGetJSON then says why.
void AppConfig::endWhenUnreasonable(QNetworkReply *reply, qint64 maxBytes)
{
    new TransferGuard(reply, {maxBytes, TransferGuard::checkLimitMs()},
                      [reply](const QString &why) {
                          UpdaterRequests::markRefused(reply, why);
                          QTimer::singleShot(0, reply, &QNetworkReply::abort);
                      });
}

// The reply gate. Downloads go through the same manager as the manifest, so their replies come
// to OnGetJSON too; only a manifest reply is ever read as one, and only while a reading is due
// (the first one, or one asked for by CheckUpdates() since the last append()).
bool AppConfig::readsAsManifest(QNetworkReply *reply) const
{
    return UpdaterRequests::isManifestRequest(reply->request()) &&
           (manifestChecked == 0 || recheckRequested == 1);
}
