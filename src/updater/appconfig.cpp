#include "appconfig.h"

#include "config/config.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

AppConfig::AppConfig(QObject *parent) : QObject(parent), network(new QNetworkAccessManager(this))
{
    if (Config::ConfigExists(Config::FileName) && manifestChecked == 0) {
        network->get(QNetworkRequest(manifestUrl()));
        connect(network, &QNetworkAccessManager::finished, this, &AppConfig::OnGetJSON);
    }
    qDebug().noquote() << "AppConfig->Constructor: I'm called!";
}

AppConfig::~AppConfig() = default;

QUrl AppConfig::manifestUrl()
{
    const QByteArray overridden = qgetenv("EMBERCREST_MANIFEST_URL");
    const QString text = overridden.isEmpty() ? QStringLiteral(EMBERCREST_DEFAULT_MANIFEST_URL)
                                              : QString::fromUtf8(overridden);
    return QUrl(text, QUrl::TolerantMode);
}

// Filled in with the manifest check and the download queue.
void AppConfig::CheckUpdates() {}
bool AppConfig::OnGetJSON(QNetworkReply *)
{
    return false;
}
void AppConfig::append() {}
void AppConfig::startNextDownload() {}
void AppConfig::downloadFinished() {}
void AppConfig::downloadReadyRead() {}
void AppConfig::downloadProgress(qint64, qint64) {}
