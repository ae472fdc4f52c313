#include "appconfig.h"

#include "manifestbody.h"
#include "manifestfreshness.h"
#include "manifestsignature.h"
#include "requests.h"

#include <QDateTime>
#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <utility>

using ManifestSignature::kMaxSignatureFileBytes;

QByteArray AppConfig::manifestPublicKey()
{
    return ManifestSignature::effectivePublicKey(
        QByteArrayLiteral(EMBERCREST_DEFAULT_MANIFEST_PUBKEY),
        qgetenv("EMBERCREST_MANIFEST_PUBKEY"));
}

void AppConfig::sendSignatureRequest(const QUrl &manifestUrl, quint64 checkId,
                                     const QByteArray &key)
{
    SignatureCheck check;
    check.key = key;
    signatureChecks.insert(checkId, check);
    QNetworkReply *reply = network->get(UpdaterRequests::signatureRequest(manifestUrl, checkId));
    endWhenUnreasonable(reply, -1); // its size is bounded as it is read
    // At most one byte more than a signature file may hold: a larger file is refused without
    // being downloaded, whatever its size.
    ManifestBody::collect(reply, kMaxSignatureFileBytes + 1, ManifestBody::AtBound::Keep);
}

void AppConfig::signatureFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    const auto check = signatureChecks.find(UpdaterRequests::checkIdOf(reply->request()));
    if (check == signatureChecks.end() || check->arrived)
        return; // its manifest was not wanted any more
    check->received = ManifestBody::take(reply);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    check->arrived = true;
    check->fetched = check->received.size() > kMaxSignatureFileBytes ||
                     (reply->error() == QNetworkReply::NoError && status >= 200 && status < 300);
    if (!check->fetched)
        check->problem = !UpdaterRequests::refusalOf(reply).isEmpty()
                             ? UpdaterRequests::refusalOf(reply)
                         : reply->error() != QNetworkReply::NoError
                             ? reply->errorString()
                             : QStringLiteral("HTTP status %1").arg(status);
    if (QNetworkReply *manifest = std::exchange(check->heldManifest, nullptr))
        OnGetJSON(manifest);
}

bool AppConfig::holdForSignature(QNetworkReply *reply)
{
    if (!UpdaterRequests::isManifestRequest(reply->request()))
        return false;
    const auto check = signatureChecks.find(UpdaterRequests::checkIdOf(reply->request()));
    if (check == signatureChecks.end() || check->arrived)
        return false;
    check->heldManifest = reply;
    return true;
}

bool AppConfig::manifestSignatureAccepted(QNetworkReply *reply, const QByteArray &body)
{
    const quint64 checkId = UpdaterRequests::checkIdOf(reply->request());
    if (checkId == 0)
        return true; // built without a key: manifests are not checked
    const SignatureCheck check = signatureChecks.take(checkId);
    const std::optional<QByteArray> file =
        check.fetched ? std::optional<QByteArray>(check.received) : std::nullopt;
    const ManifestSignature::Verdict verdict = ManifestSignature::verify(
        body, file, check.key.isEmpty() ? manifestPublicKey() : check.key);
    if (verdict.accepted) {
        qDebug().noquote() << "OnGetJSON: manifest signature verified";
        return true;
    }
    QString reason = verdict.reason;
    if (!check.fetched && !check.problem.isEmpty())
        reason += QStringLiteral(" (") + check.problem + QLatin1Char(')');
    qDebug().noquote() << QStringLiteral("OnGetJSON: manifest refused: ") + reason;
    return false;
}

// With a key, a manifest whose signature holds must also be current: not older than one already
// accepted, and not expired. Its serial is remembered as soon as it is accepted, not when its
// run ends: a validly signed serial proves that the publisher got that far, whatever becomes of
// the downloads, and a manifest with equal versions starts no run at all.
bool AppConfig::manifestFresh(QNetworkReply *reply, const QByteArray &body)
{
    if (UpdaterRequests::checkIdOf(reply->request()) == 0)
        return true; // built without a key: serials and expiry times are not read
    const QByteArray keyList =
        ManifestFreshness::keyListId(ManifestSignature::parseKeyList(manifestPublicKey()).keys);
    const ManifestFreshness::Remembered before = ManifestFreshness::remembered(keyList);
    const ManifestFreshness::Verdict verdict =
        ManifestFreshness::check(body, before, QDateTime::currentDateTimeUtc());
    if (!verdict.accepted) {
        qDebug().noquote() << QStringLiteral("OnGetJSON: manifest refused: ") + verdict.reason;
        return false;
    }
    const QByteArray sha256 = ManifestFreshness::manifestSha256(body);
    if (verdict.serial &&
        (!before.serial || *verdict.serial > *before.serial || before.sha256 != sha256)) {
        if (!ManifestFreshness::remember(keyList, *verdict.serial, sha256))
            qDebug().noquote() << QStringLiteral("OnGetJSON: serial %1 could not be stored in "
                                                 "config.conf; older manifests are not refused "
                                                 "until it can be")
                                      .arg(*verdict.serial);
    }
    return true;
}
