#include "appconfig.h"

#include "config/config.h"
#include "config/delays.h"
#include "manifestbody.h"
#include "manifestreader.h"
#include "requests.h"
#include "targetpath.h"

#include <QDebug>
#include <QFileInfo>
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
    // A refused manifest (a bound it broke, its signature, or older or expired) is read like a
    // body that is no manifest: nothing is compared.
    const QString refusal = UpdaterRequests::refusalOf(reply);
    if (!refusal.isEmpty()) {
        qDebug().noquote() << QStringLiteral("OnGetJSON: manifest refused: ") + refusal;
        signatureChecks.remove(UpdaterRequests::checkIdOf(reply->request()));
    }
    QByteArray body = refusal.isEmpty() ? ManifestBody::take(reply) : QByteArray();
    if (refusal.isEmpty() &&
        (!manifestSignatureAccepted(reply, body) || !manifestFresh(reply, body)))
        body.clear();
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
            if (noClient || !collectRepairs(reading, flagOf)) {
                emit UpdatesChecked();
                reply->deleteLater();
                return false;
            }
            emit HaveUpdates();
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

// Same version, but the manifest knows every file's size: a listed file of an installed locale
// that is missing or has another size is fetched again. Sizes only, so that a start does not
// read gigabytes; damage that keeps the size is found by the next update's hashes.
bool AppConfig::collectRepairs(ManifestReading &reading, const LocaleFlagLookup &flagOf)
{
    if (!reading.hasIntegrity)
        return false;
    readManifestFiles(reading, flagOf);
    const QString clientDir =
        Config::ReadSetting(QStringLiteral("ClientDir"), QStringLiteral("WOTLK"));
    int missing = 0;
    for (const ManifestFinding &file : reading.installedFiles) {
        const FileIntegrity integrity = reading.integrity.value(file.url);
        if (!integrity.isValid() || integrity.size < 0)
            continue;
        const DownloadTarget target = downloadTarget(clientDir, file.locale, file.url);
        if (!target.writable)
            continue;
        // Its size only: a file's times would cost a time zone conversion each.
        const QFileInfo info(target.path);
        if (info.isFile() && info.size() == integrity.size)
            continue;
        fileLocales.insert(file.url, file.locale);
        collectedSinceAppend.insert(file.url);
        plan.noteListed(file.url, reading);
        ++missing;
    }
    // One line, not one per file: a client that lost its data folder would log thousands
    // before the window is first painted; append() names each file anyway.
    if (missing > 0)
        qDebug().noquote() << QStringLiteral("Repairing %1 missing or damaged files").arg(missing);
    return missing > 0;
}
