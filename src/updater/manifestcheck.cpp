#include "appconfig.h"

#include "config/config.h"
#include "config/delays.h"
#include "manifestbody.h"
#include "manifestreader.h"
#include "requests.h"

#include <QDebug>
#include <QHash>
#include <QJsonObject>
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
    // A refused manifest (a bound it broke, a compressed body cut short, its signature, or older
    // or expired) is read like a body that is no manifest: nothing is compared. So is the body
    // of an error page or a redirect: only a 2xx reply carries the manifest.
    QByteArray body = ManifestBody::take(reply);
    const QString refusal = UpdaterRequests::refusalOf(reply);
    if (!refusal.isEmpty())
        qDebug().noquote() << QStringLiteral("OnGetJSON: manifest refused: ") + refusal;
    if (!refusal.isEmpty() || !UpdaterRequests::isSuccess(reply)) {
        signatureChecks.remove(UpdaterRequests::checkIdOf(reply->request()));
        body.clear();
    } else if (!manifestSignatureAccepted(reply, body) || !manifestFresh(reply, body)) {
        body.clear();
    }
    // An installed version that cannot be read (no key, a single part) is a local matter, not
    // the server's: the client counts as having no content yet, as after choosing it anew.
    QString localVersion =
        Config::ReadSetting(QStringLiteral("ClientVersion"), QStringLiteral("WOTLK"));
    if (!versionNumber(localVersion)) {
        qDebug().noquote() << QStringLiteral("OnGetJSON: installed version \"%1\" unreadable, "
                                             "taken as 0.0")
                                  .arg(localVersion);
        localVersion = QStringLiteral("0.0");
    }
    ManifestReading reading = readManifestVersion(body, localVersion);
    qDebug().noquote() << "OnGetJSON: Reading JSON";

    if (reading.outcome != ManifestReading::Outcome::NoVersionList) {
        qDebug().noquote() << "Local version - " << reading.localNumber;
        qDebug().noquote() << "Online version - " << reading.onlineNumber;
        onlineVersion = reading.onlineVersion;
        const bool noClient =
            Config::ReadSetting(QStringLiteral("ClientLocation"), QStringLiteral("WOTLK"))
                .isEmpty();
        if (reading.outcome == ManifestReading::Outcome::Equal) {
            // With integrity data, the check ends once the files are looked at (repairsFound).
            if (!noClient && reading.hasIntegrity)
                checkForRepairs(body, localVersion, reading, flagOf);
            else
                emit UpdatesChecked();
            reply->deleteLater();
            return false;
        } else {
            if (noClient)
                emit ClientNotFound();
            else
                emit HaveUpdates();
            // The locale pass comes after the signal: the flags are read as they are now.
            readManifestFiles(reading, flagOf);
            collectFiles(reading);
        }
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
        plan.noteListed(finding.url, reading);
    }
}

void AppConfig::checkForRepairs(const QByteArray &body, const QString &localVersion,
                                const ManifestReading &reading, const LocaleFlagLookup &flagOf)
{
    // The flags as they are now, read here: config.conf is the GUI thread's.
    QHash<QString, QString> flags;
    for (const QJsonValue &element : reading.elements) {
        const QJsonObject locales = element.toObject();
        for (auto locale = locales.begin(); locale != locales.end(); ++locale)
            flags.insert(locale.key(), flagOf(locale.key()));
    }
    auto *check = new RepairCheck(this);
    connect(check, &RepairCheck::found, this, [this, check] {
        check->deleteLater();
        repairsFound(check->outcome());
    });
    check->start(body, localVersion, flags,
                 Config::ReadSetting(QStringLiteral("ClientDir"), QStringLiteral("WOTLK")));
}

// The end of a check at equal versions: nothing to do, or the missing files to fetch.
void AppConfig::repairsFound(const RepairCheck::Outcome &outcome)
{
    if (outcome.missing.isEmpty()) {
        emit UpdatesChecked();
        return;
    }
    for (const ManifestFinding &file : outcome.missing) {
        fileLocales.insert(file.url, file.locale);
        collectedSinceAppend.insert(file.url);
        plan.noteListed(file.url, outcome.reading);
    }
    // One line, not one per file: a client that lost its data folder would log thousands;
    // append() names each file anyway.
    qDebug().noquote()
        << QStringLiteral("Repairing %1 missing or damaged files").arg(outcome.missing.size());
    emit HaveUpdates();
    QTimer::singleShot(Delays::queueStart(), this, SLOT(append()));
    manifestChecked = 1;
}
