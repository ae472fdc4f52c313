#include "appconfig.h"

#include "config/config.h"
#include "config/delays.h"
#include "manifestreader.h"
#include "requests.h"

#include <QDebug>
#include <QHash>
#include <QNetworkReply>
#include <QTimer>

void AppConfig::CheckUpdates()
{
    recheckRequested = 1;
    sendManifestRequest();
}

bool AppConfig::OnGetJSON(QNetworkReply *reply)
{
    // A signature is no manifest; a manifest that is checked is read once its signature is in.
    if (UpdaterRequests::isSignatureRequest(reply->request())) {
        signatureFinished(reply);
        return false;
    }
    if (holdForSignature(reply))
        return false;
    qDebug().noquote() << "OnGetJSON: I'm called! Starting cheking content of this file... :D";
    if (!readsAsManifest(reply)) {
        qDebug().noquote() << "True? Okey i offline.";
        // A download reply is the queue's. A manifest reply that is no longer wanted is nobody
        // else's, so it is released here.
        if (UpdaterRequests::isManifestRequest(reply->request())) {
            signatureChecks.remove(UpdaterRequests::checkIdOf(reply->request()));
            reply->deleteLater();
        }
        return false;
    }

    // config.conf does not change while one manifest is read: each flag is read once.
    QHash<QString, QString> flags;
    const auto flagOf = [&flags](const QString &locale) {
        auto flag = flags.constFind(locale);
        if (flag == flags.constEnd())
            flag =
                flags.insert(locale, Config::ReadSetting(QStringLiteral("WClientLocale"), locale));
        return *flag;
    };
    // An aborted reply (a stalled server) is closed: it has no body to read.
    QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
    // A refused manifest is read like a body that is no manifest: nothing is compared.
    if (!manifestSignatureAccepted(reply, body))
        body.clear();
    const ManifestReading reading = readManifest(
        body, Config::ReadSetting(QStringLiteral("ClientVersion"), QStringLiteral("WOTLK")),
        flagOf);
    qDebug().noquote() << "OnGetJSON: Reading JSON";

    if (reading.outcome != ManifestReading::Outcome::NoVersionList) {
        qDebug().noquote() << "Local version - " << reading.localNumber;
        qDebug().noquote() << "Online version - " << reading.onlineNumber;
        onlineVersion = reading.onlineVersion;
        if (reading.outcome == ManifestReading::Outcome::Equal) {
            emit UpdatesChecked();
            reply->deleteLater();
            return false;
        }
        if (Config::ReadSetting(QStringLiteral("ClientLocation"), QStringLiteral("WOTLK"))
                .isEmpty())
            emit ClientNotFound();
        else
            emit HaveUpdates();
        collectFiles(reading);
    } else {
        emit UpdateCheckFailed();
    }

    QTimer::singleShot(Delays::queueStart(), this, SLOT(append()));
    reply->deleteLater();
    manifestChecked = 1;
    return false;
}

// A URL listed more than once keeps the locale of its last occurrence.
void AppConfig::collectFiles(const ManifestReading &reading)
{
    for (const ManifestFinding &finding : reading.findings) {
        if (finding.kind == ManifestFinding::Kind::LocaleNotInstalled) {
            qDebug() << "Locale " << finding.locale << " not found.";
            continue;
        }
        qDebug() << finding.locale << " => " << finding.url;
        fileLocales.insert(finding.url, finding.locale);
        collectedSinceAppend.insert(finding.url);
    }
}
