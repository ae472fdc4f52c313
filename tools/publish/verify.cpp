#include "verify.h"

#include "updater/manifestfreshness.h"
#include "updater/manifestreader.h"
#include "updater/manifestsignature.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace Publish {

namespace {

// "1.2 (linux-x86_64, windows-x86_64)", from the "launcher" member; empty without one.
QString launcherSummary(const QByteArray &manifest)
{
    const QJsonValue member =
        QJsonDocument::fromJson(manifest).object().value(QStringLiteral("launcher"));
    if (member.isUndefined())
        return QString();
    const QJsonObject launcher = member.toObject();
    const QString version = launcher.value(QStringLiteral("version")).toString();
    const QStringList platforms = launcher.value(QStringLiteral("files")).toObject().keys();
    if (version.isEmpty() || platforms.isEmpty())
        return QStringLiteral("an unreadable \"launcher\" member");
    return version + QStringLiteral(" (") + platforms.join(QStringLiteral(", ")) + QLatin1Char(')');
}

} // namespace

Verification verifyManifest(const ManifestSource &source, const TrustedKeys &trusted,
                            const QDateTime &now)
{
    Verification verification;
    QStringList &errors = verification.errors;
    if (!source.problem.isEmpty()) {
        errors << source.name + QStringLiteral(": ") + source.problem;
        return verification;
    }
    if (!source.signature) {
        errors << source.signatureName + QStringLiteral(": ") + source.signatureProblem +
                      QStringLiteral(": launchers built with a key refuse a manifest without "
                                     "its signature");
        return verification;
    }
    QByteArrayList keys;
    for (const TrustedKey &key : trusted.keys)
        keys << key.key.toBase64();
    const ManifestSignature::Verdict verdict =
        ManifestSignature::verify(source.manifest, source.signature, keys.join(','));
    if (!verdict.accepted) {
        errors << source.name + QStringLiteral(": refused: ") + verdict.reason;
        return verification;
    }

    const ManifestReading reading = readManifestVersion(source.manifest, QStringLiteral("0.0"));
    if (reading.outcome == ManifestReading::Outcome::NoVersionList)
        errors << source.name + QStringLiteral(": holds no version that launchers can read");
    const ManifestFreshness::Security security = ManifestFreshness::readSecurity(source.manifest);
    if (!security.problem.isEmpty()) {
        errors << source.name + QStringLiteral(": refused: ") + security.problem;
        return verification;
    }
    if (!security.serial)
        errors << source.name + QStringLiteral(": has no serial: launchers that accepted a "
                                               "manifest with one refuse it");
    if (security.expires && *security.expires < now)
        errors << source.name + QStringLiteral(": expired at %1, and it is now %2: launchers "
                                               "refuse it, at the latest %3 hours after its "
                                               "expiry; publish again")
                                    .arg(ManifestFreshness::formatTime(*security.expires),
                                         ManifestFreshness::formatTime(now))
                                    .arg(ManifestFreshness::kClockSkewSeconds / 3600);
    if (!errors.isEmpty())
        return verification;

    const TrustedKey &signer = trusted.keys.at(verdict.keyIndex);
    QString signedBy = ManifestSignature::fingerprint(signer.key);
    if (!signer.file.isEmpty())
        signedBy += QStringLiteral(" (") + signer.file + QLatin1Char(')');
    verification.summary =
        QStringLiteral("%1: version %2, serial %3, %4, signed by key %5")
            .arg(source.name, reading.onlineVersion)
            .arg(*security.serial)
            .arg(security.expires
                     ? QStringLiteral("expires ") + ManifestFreshness::formatTime(*security.expires)
                     : QStringLiteral("never expires"),
                 signedBy);
    verification.launcher = launcherSummary(source.manifest);
    return verification;
}

} // namespace Publish
