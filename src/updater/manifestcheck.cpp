#include "manifestcheck.h"

#include "manifestbody.h"
#include "manifestfreshness.h"
#include "manifestmirrors.h"
#include "manifestsignature.h"
#include "requests.h"
#include "transferguard.h"

#include <QDateTime>
#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <optional>
#include <utility>

using ManifestSignature::kMaxSignatureFileBytes;

namespace {

const QString kRefused = QStringLiteral("OnGetJSON: manifest refused: ");

// A manifest or signature that no honest server sends (endless, or at a trickle) is ended; the
// updater then says why.
void endWhenUnreasonable(QNetworkReply *reply, qint64 maxBytes)
{
    new TransferGuard(reply, {maxBytes, TransferGuard::checkLimitMs()},
                      [reply](const QString &why) {
                          UpdaterRequests::markRefused(reply, why);
                          QTimer::singleShot(0, reply, &QNetworkReply::abort);
                      });
}

} // namespace

ManifestCheck::ManifestCheck(QNetworkAccessManager *network, const QUrl &url, const QByteArray &key,
                             quint64 id, QObject *parent)
    : QObject(parent), network(network), key(key), id(id)
{
    if (!key.isEmpty())
        mirrors = ManifestMirrors::fallbacks(url);
    send(url);
}

void ManifestCheck::send(const QUrl &url)
{
    QNetworkReply *manifest = network->get(UpdaterRequests::manifestRequest(url, id));
    ManifestBody::collect(manifest);
    endWhenUnreasonable(manifest, TransferGuard::kMaxManifestBytes);
    if (key.isEmpty())
        return;
    const QNetworkRequest request = UpdaterRequests::signatureRequest(url, id);
    signatureUrl = request.url();
    QNetworkReply *signature = network->get(request);
    endWhenUnreasonable(signature, -1); // its size is bounded as it is read
    // At most one byte more than a signature file may hold: a larger file is refused without
    // being downloaded, whatever its size.
    ManifestBody::collect(signature, kMaxSignatureFileBytes + 1, ManifestBody::AtBound::Keep);
}

QNetworkReply *ManifestCheck::signatureArrived(QNetworkReply *reply)
{
    reply->deleteLater();
    if (signatureEnded || reply->request().url() != signatureUrl)
        return nullptr; // or it is another host's, given up
    signature = ManifestBody::take(reply);
    const int status = UpdaterRequests::statusOf(reply);
    signatureEnded = true;
    signatureFetched = signature.size() > kMaxSignatureFileBytes ||
                       (reply->error() == QNetworkReply::NoError && status >= 200 && status < 300);
    if (!signatureFetched)
        signatureFailure = !UpdaterRequests::refusalOf(reply).isEmpty()
                               ? UpdaterRequests::refusalOf(reply)
                           : reply->error() != QNetworkReply::NoError
                               ? reply->errorString()
                               : QStringLiteral("HTTP status %1").arg(status);
    return std::exchange(heldManifest, nullptr);
}

bool ManifestCheck::holds(QNetworkReply *manifest)
{
    if (askMirror(manifest))
        return true;
    if (key.isEmpty() || signatureEnded)
        return false;
    heldManifest = manifest;
    return true;
}

// A manifest that did not arrive (no answer, an error status, a bound broken) is asked for on
// the next mirror, with its signature.
bool ManifestCheck::askMirror(QNetworkReply *failed)
{
    if (mirrors.isEmpty() ||
        (UpdaterRequests::isSuccess(failed) && UpdaterRequests::refusalOf(failed).isEmpty()))
        return false;
    const QString why =
        !UpdaterRequests::refusalOf(failed).isEmpty() ? UpdaterRequests::refusalOf(failed)
        : failed->error() != QNetworkReply::NoError
            ? failed->errorString()
            : QStringLiteral("HTTP status %1").arg(UpdaterRequests::statusOf(failed));
    const QUrl next = mirrors.takeFirst();
    qDebug().noquote() << QStringLiteral("OnGetJSON: the manifest did not come from %1 (%2); "
                                         "asking %3")
                              .arg(failed->request().url().toDisplayString(), why,
                                   next.toDisplayString());
    failed->deleteLater();
    heldManifest = nullptr;
    signature.clear();
    signatureEnded = signatureFetched = false;
    signatureFailure.clear();
    send(next);
    return true;
}

// A refused manifest (a bound it broke, a compressed body cut short, its signature, or older or
// expired) is read like a body that is no manifest: nothing is compared. So is the body of an
// error page or a redirect: only a 2xx reply carries the manifest.
ManifestCheck::Result ManifestCheck::conclude(QNetworkReply *manifest)
{
    Result result;
    result.body = ManifestBody::take(manifest);
    result.refusal = UpdaterRequests::refusalOf(manifest);
    if (!result.refusal.isEmpty())
        qDebug().noquote() << kRefused + result.refusal;
    if (!result.refusal.isEmpty() || !UpdaterRequests::isSuccess(manifest)) {
        result.body.clear();
        return result;
    }
    result.refusal = signatureProblem(result.body);
    // A signature that could not be fetched is the server's failure; one that arrived and was
    // refused is not.
    result.notTrusted = !result.refusal.isEmpty() && signatureFetched;
    if (result.refusal.isEmpty()) {
        result.refusal = freshnessProblem(result.body);
        result.notTrusted = !result.refusal.isEmpty();
    }
    if (!result.refusal.isEmpty())
        result.body.clear();
    else if (!key.isEmpty())
        ManifestMirrors::remember(result.body);
    return result;
}

QString ManifestCheck::signatureProblem(const QByteArray &body) const
{
    if (key.isEmpty())
        return QString(); // built without a key: manifests are not checked
    const std::optional<QByteArray> file =
        signatureFetched ? std::optional<QByteArray>(signature) : std::nullopt;
    const ManifestSignature::Verdict verdict = ManifestSignature::verify(body, file, key);
    if (verdict.accepted) {
        qDebug().noquote() << "OnGetJSON: manifest signature verified";
        return QString();
    }
    QString reason = verdict.reason;
    if (!signatureFetched && !signatureFailure.isEmpty())
        reason += QStringLiteral(" (") + signatureFailure + QLatin1Char(')');
    qDebug().noquote() << kRefused + reason;
    return reason;
}

// With a key, a manifest whose signature holds must also be current: not older than one already
// accepted, and not expired. Its serial is remembered as soon as it is accepted, not when its
// run ends: a validly signed serial proves that the publisher got that far, whatever becomes of
// the downloads, and a manifest with equal versions starts no run at all.
QString ManifestCheck::freshnessProblem(const QByteArray &body) const
{
    if (key.isEmpty())
        return QString(); // built without a key: serials and expiry times are not read
    const QByteArray keyList =
        ManifestFreshness::keyListId(ManifestSignature::parseKeyList(key).keys);
    const ManifestFreshness::Remembered before = ManifestFreshness::remembered(keyList);
    const ManifestFreshness::Verdict verdict =
        ManifestFreshness::check(body, before, QDateTime::currentDateTimeUtc());
    if (!verdict.accepted) {
        qDebug().noquote() << kRefused + verdict.reason;
        return verdict.reason;
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
    return QString();
}
