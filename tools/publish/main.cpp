// embercrest-publish: writes the update manifest that the launcher reads for an update folder.
#include "config/config.h"
#include "publish.h"
#include "remote.h"
#include "signing.h"
#include "updater/manifestsignature.h"
#include "verify.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QTextStream>

namespace {

const char *const Description =
    "Writes the update manifest ClientUpdates.json that the Embercrest Launcher reads, for an\n"
    "update folder laid out as FOLDER/<locale>/<files>, where <locale> is one of\n"
    "%1.\n"
    "\n"
    "Each file is listed under the URL BASE_URL<locale>/<file name>: serve FOLDER at BASE_URL\n"
    "with any static HTTP server. Launchers whose installed version differs from VERSION\n"
    "download the files of the locales they have into Data/<locale>/.\n"
    "\n"
    "The manifest is replaced atomically and only when every input is right: a file name\n"
    "that the launcher cannot fetch or save under its own name is an error. Folders that are\n"
    "not locale folders are skipped with a warning, but for launcher/ (launcher releases).\n"
    "The manifest also holds the size and the SHA-256 of every file (member \"integrity\"),\n"
    "which older launchers ignore.\n"
    "\n"
    "Signed manifests: 'embercrest-publish keygen NAME' writes a new Ed25519 key pair,\n"
    "NAME.key (private: keep it off the server) and NAME.pub (build the launcher with it).\n"
    "With --sign NAME.key the signature of the manifest is written beside it, as\n"
    "<manifest>.sig; upload both. Without --sign an old <manifest>.sig is removed.\n"
    "\n"
    "Every manifest carries a serial, one more than the manifest it replaces at the output\n"
    "path (or --serial N), and with --expires DAYS an expiry time. Launchers built with a key\n"
    "refuse a manifest with a lower serial than one they accepted, and an expired one; to\n"
    "bring old files back, publish them again. SOURCE_DATE_EPOCH, when set, is the time the\n"
    "expiry counts from.\n"
    "\n"
    "What launchers would refuse or misread is an error, and nothing is written: a signing\n"
    "key that the launchers do not trust (--trusted; by default the keys this build's\n"
    "launcher trusts, %2); no --sign where the previous manifest was signed or keys are\n"
    "trusted (--unsigned overrides); a signed publication whose serial would start again at 1\n"
    "(give --previous or --serial); an expiry already past (--allow-expired); files changed\n"
    "under the previous manifest's version (--same-version). The previous manifest is the\n"
    "one at the output path, or the one --previous names.\n"
    "\n"
    "'embercrest-publish verify [MANIFEST]' checks a manifest and its signature as launchers\n"
    "that trust the keys of --trusted (by default this build's) would: MANIFEST is a file or\n"
    "the URL that players fetch (by default this build's, %3), and MANIFEST.sig its signature.\n"
    "It prints the version, the serial, the expiry, the key that signed and the launcher\n"
    "release it offers, if any.\n"
    "\n"
    "Launcher releases, for launchers to update themselves: --launcher-version V with a\n"
    "--launcher-file PLATFORM=PATH for each file (PLATFORM: linux-x86_64 or windows-x86_64;\n"
    "each platform's files include embercrest-launcher, or embercrest-launcher.exe). The\n"
    "files are copied to FOLDER/launcher/V/PLATFORM/ and listed with their URL, size and\n"
    "SHA-256 in the manifest's member \"launcher\", which launchers take only from a signed\n"
    "manifest: it needs --sign. Sign Windows files (Authenticode) before, so that the hashes\n"
    "are those of the signed files.\n"
    "\n"
    "Example: embercrest-publish --sign realm.key updates 1.4 https://cdn.example.org/wotlk/\n"
    "\n"
    "Exit status: 0 when the manifest was written (or verified), 1 when an input was wrong\n"
    "(nothing was written) or the manifest would be refused, 2 on a usage error.";

const QString BuildKeys = QStringLiteral(EMBERCREST_BUILD_MANIFEST_PUBKEY);
const QString BuildUrl = QStringLiteral(EMBERCREST_BUILD_MANIFEST_URL);
const QString ExampleUrl = QStringLiteral(EMBERCREST_EXAMPLE_MANIFEST_URL);

QString name()
{
    return QCoreApplication::applicationName();
}

int usageError(const QString &message)
{
    QTextStream(stderr) << name() << ": " << message << "\nTry '" << name()
                        << " --help' for more information.\n";
    return 2;
}

int failure(const QString &message)
{
    QTextStream(stderr) << name() << ": error: " << message << '\n';
    return 1;
}

int report(const Publish::Report &report, const Publish::Request &request)
{
    QTextStream err(stderr);
    for (const QString &warning : report.warnings)
        err << name() << ": warning: " << warning << '\n';
    for (const QString &error : report.errors)
        err << name() << ": error: " << error << '\n';
    if (!report.ok()) {
        err << name() << ": " << report.output << " was not changed\n";
        return 1;
    }
    QTextStream out(stdout);
    out << "Wrote " << report.output << ": version " << request.version << ", serial "
        << report.serial << ", " << report.files << " files in " << report.locales << " locales";
    if (!report.expires.isEmpty())
        out << ", expires " << report.expires;
    out << '\n';
    if (!report.signature.isEmpty())
        out << "Wrote " << report.signature << ": signed for the public key " << report.publicKey
            << " (" << ManifestSignature::fingerprint(QByteArray::fromBase64(report.publicKey))
            << ")\n";
    if (report.launcherFiles > 0)
        out << "Copied " << report.launcherFiles << " files of launcher "
            << request.launcher.version << " to "
            << QDir(request.folder).filePath(QStringLiteral("launcher/") + request.launcher.version)
            << '\n';
    return 0;
}

// --launcher-file and --launcher-minimum-os values, PLATFORM=VALUE: false when one has no "=".
bool splitPlatformValues(const QStringList &values, QList<QPair<QString, QString>> *pairs)
{
    for (const QString &value : values) {
        const int equals = int(value.indexOf(QLatin1Char('=')));
        if (equals < 0)
            return false;
        pairs->append({value.left(equals), value.mid(equals + 1)});
    }
    return true;
}

// The launcher release that the options describe; a usage problem in *problem.
Publish::LauncherRelease launcherRelease(const QString &version, const QStringList &files,
                                         const QStringList &minimumOs, QString *problem)
{
    Publish::LauncherRelease release;
    release.version = version;
    QList<QPair<QString, QString>> pairs;
    if (!splitPlatformValues(files, &pairs)) {
        *problem = QStringLiteral("--launcher-file takes PLATFORM=PATH");
        return release;
    }
    for (const auto &pair : pairs)
        release.files.append({pair.first, pair.second, QString(), {}});
    pairs.clear();
    if (!splitPlatformValues(minimumOs, &pairs)) {
        *problem = QStringLiteral("--launcher-minimum-os takes PLATFORM=VERSION");
        return release;
    }
    for (const auto &pair : pairs) {
        if (release.minimumOs.contains(pair.first)) {
            *problem = QStringLiteral("--launcher-minimum-os is given twice for ") + pair.first;
            return release;
        }
        release.minimumOs.insert(pair.first, pair.second);
    }
    *problem = Publish::launcherUsageProblem(release);
    return release;
}

// The keys that launchers trust: those of --trusted, or else the ones built into this build's
// launcher (none when it was built without).
Publish::TrustedKeys trustedKeys(const QStringList &given)
{
    if (!given.isEmpty())
        return Publish::readTrustedKeys(given, QStringLiteral("--trusted"));
    if (BuildKeys.isEmpty())
        return {};
    return Publish::readTrustedKeys({BuildKeys},
                                    QStringLiteral("this build's EMBERCREST_MANIFEST_PUBKEY"));
}

// Since launchers trust every key of their list, a new key joins the list, and the old one
// stays in it until the players have a launcher with both: one built with the new key only
// refuses every manifest signed with the old one, and the launchers already out there refuse
// every manifest signed with the new one.
int keygen(const QString &keyName, const Publish::TrustedKeys &trusted)
{
    if (trusted.keys.size() >= ManifestSignature::kMaxPublicKeys)
        return failure(QStringLiteral("the launchers trust %1 keys (%2), the most there may be; "
                                      "build a launcher without one of them first")
                           .arg(trusted.keys.size())
                           .arg(Publish::describeKeys(trusted)));
    QString problem;
    const QByteArray publicKey = Publish::generateKeyFiles(keyName, &problem);
    if (publicKey.isEmpty())
        return failure(problem);
    QTextStream out(stdout);
    out << "Wrote " << keyName << ".key (the private key: keep it secret and off the update "
        << "server) and " << keyName << ".pub (the public key, "
        << ManifestSignature::fingerprint(QByteArray::fromBase64(publicKey)) << ")\n";
    if (trusted.keys.isEmpty()) {
        out << "A first key: build the launcher with -DEMBERCREST_MANIFEST_PUBKEY=" << publicKey
            << '\n'
            << "A key that replaces another: build with both, "
            << "\"-DEMBERCREST_MANIFEST_PUBKEY=<old key>;" << publicKey
            << "\", and sign with the old key until the players have that launcher "
            << "(docs/publishing.md, \"Rotating keys\")\n";
        return 0;
    }
    QStringList keys;
    for (const QByteArray &key : Publish::rawKeys(trusted))
        keys << QString::fromLatin1(key.toBase64());
    keys << QString::fromLatin1(publicKey);
    out << trusted.origin << " lists " << Publish::describeKeys(trusted)
        << ": build the next launcher with those keys and the new one,\n"
        << "\"-DEMBERCREST_MANIFEST_PUBKEY=" << keys.join(QLatin1Char(';')) << "\",\n"
        << "and keep signing with one of those keys until the players have that launcher: the "
        << "launchers out there refuse manifests signed with the new key (docs/publishing.md, "
        << "\"Rotating keys\")\n";
    return 0;
}

int verify(const QString &given, const Publish::TrustedKeys &trusted)
{
    const QString manifest = given.isEmpty() ? BuildUrl : given;
    if (given.isEmpty() && BuildUrl == ExampleUrl)
        return usageError(QStringLiteral("this build has the example manifest URL %1: give the "
                                         "manifest's URL or path")
                              .arg(BuildUrl));
    if (trusted.keys.isEmpty())
        return usageError(QStringLiteral("give the public keys that the launchers trust with "
                                         "--trusted (this build has none)"));
    const Publish::Verification verification = Publish::verifyManifest(
        Publish::readManifestSource(manifest), trusted, QDateTime::currentDateTimeUtc());
    for (const QString &error : verification.errors)
        failure(error);
    if (!verification.ok())
        return 1;
    QTextStream out(stdout);
    out << "Verified " << verification.summary << '\n';
    if (!verification.launcher.isEmpty())
        out << "Launcher: " << verification.launcher << '\n';
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("embercrest-publish"));
    QCoreApplication::setApplicationVersion(QStringLiteral(EMBERCREST_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(Description)
                                         .arg(Config::localeCodes().join(QStringLiteral(", ")),
                                              BuildKeys.isEmpty()
                                                  ? QStringLiteral("none")
                                                  : Publish::describeKeys(trustedKeys({})),
                                              BuildUrl));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption output(
        {QStringLiteral("o"), QStringLiteral("output")},
        QStringLiteral("Write the manifest to <file> (default: FOLDER/ClientUpdates.json)."),
        QStringLiteral("file"));
    const QCommandLineOption date(
        {QStringLiteral("d"), QStringLiteral("date")},
        QStringLiteral("The date in the manifest, YYYY-MM-DD (default: today)."),
        QStringLiteral("date"));
    const QCommandLineOption sign(
        QStringLiteral("sign"),
        QStringLiteral("Also write the manifest's signature, made with the private key in "
                       "<keyfile>, to <manifest>.sig."),
        QStringLiteral("keyfile"));
    const QCommandLineOption serial(
        QStringLiteral("serial"),
        QStringLiteral("The manifest's serial, an integer from 0 to 2^53 - 1 (default: the "
                       "serial of the previous manifest plus one, or 1)."),
        QStringLiteral("N"));
    const QCommandLineOption expires(
        QStringLiteral("expires"),
        QStringLiteral("Launchers built with a key refuse the manifest <days> days from now "
                       "(default: never)."),
        QStringLiteral("days"));
    const QCommandLineOption trusted(
        QStringLiteral("trusted"),
        QStringLiteral("The public keys that the launchers trust: a public key file (NAME.pub) "
                       "or a list as EMBERCREST_MANIFEST_PUBKEY takes it; may be given more "
                       "than once (default: the keys this build's launcher trusts)."),
        QStringLiteral("keys"));
    const QCommandLineOption previous(
        QStringLiteral("previous"),
        QStringLiteral("The manifest that players get now, its URL or path, with its .sig "
                       "beside it: its serial, signature and version count as those of the "
                       "previous manifest (default: the manifest at the output path)."),
        QStringLiteral("manifest"));
    const QCommandLineOption allowUnsigned(
        QStringLiteral("unsigned"),
        QStringLiteral("Publish without --sign although the previous manifest was signed or "
                       "keys are trusted."));
    const QCommandLineOption allowExpired(QStringLiteral("allow-expired"),
                                          QStringLiteral("Write an expiry that is already past."));
    const QCommandLineOption sameVersion(
        QStringLiteral("same-version"),
        QStringLiteral("Publish changed files under the previous manifest's version."));
    const QCommandLineOption mirror(
        QStringLiteral("mirror"),
        QStringLiteral("A host that serves FOLDER as well, at <url> (repeatable): launchers fetch "
                       "the files from the fastest host that serves them right."),
        QStringLiteral("url"));
    const QCommandLineOption launcherVersion(
        QStringLiteral("launcher-version"),
        QStringLiteral("Offer launcher <version> (1 to 4 numbers, such as 1.2) to launchers, "
                       "with the files of --launcher-file; needs --sign."),
        QStringLiteral("version"));
    const QCommandLineOption launcherFile(
        QStringLiteral("launcher-file"),
        QStringLiteral("A file of the launcher release for <platform> (linux-x86_64 or "
                       "windows-x86_64), copied to FOLDER/launcher/VERSION/PLATFORM/ "
                       "(repeatable)."),
        QStringLiteral("platform=path"));
    const QCommandLineOption launcherMinimumOs(
        QStringLiteral("launcher-minimum-os"),
        QStringLiteral("<os>: the oldest version of <platform>'s OS that the release runs on, "
                       "Windows' version number (10.0.17763) or Linux' kernel version (5.10) "
                       "(once per platform)."),
        QStringLiteral("platform=os"));
    parser.addOptions({output, date, sign, serial, expires, trusted, previous, allowUnsigned,
                       allowExpired, sameVersion, mirror, launcherVersion, launcherFile,
                       launcherMinimumOs});
    parser.addPositionalArgument(QStringLiteral("FOLDER"), QStringLiteral("The update folder."));
    parser.addPositionalArgument(
        QStringLiteral("VERSION"),
        QStringLiteral("The content version, major.minor (for example 1.3)."));
    parser.addPositionalArgument(
        QStringLiteral("BASE_URL"),
        QStringLiteral("The http:// or https:// URL at which FOLDER is served."));

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help))
        parser.showHelp(0);
    if (parser.isSet(versionOption))
        parser.showVersion();
    const QStringList arguments = parser.positionalArguments();
    const bool publishOptions = parser.isSet(output) || parser.isSet(date) || parser.isSet(sign) ||
                                parser.isSet(serial) || parser.isSet(expires) ||
                                parser.isSet(previous) || parser.isSet(allowUnsigned) ||
                                parser.isSet(allowExpired) || parser.isSet(sameVersion) ||
                                parser.isSet(mirror) || parser.isSet(launcherVersion) ||
                                parser.isSet(launcherFile) || parser.isSet(launcherMinimumOs);
    const Publish::TrustedKeys keys = trustedKeys(parser.values(trusted));
    if (!keys.problem.isEmpty())
        return failure(keys.problem);
    if (!arguments.isEmpty() && arguments.at(0) == QLatin1String("keygen")) {
        if (arguments.size() != 2 || publishOptions)
            return usageError(QStringLiteral("keygen takes NAME, and --trusted"));
        return keygen(arguments.at(1), keys);
    }
    if (!arguments.isEmpty() && arguments.at(0) == QLatin1String("verify")) {
        if (arguments.size() > 2 || publishOptions)
            return usageError(QStringLiteral("verify takes a MANIFEST, and --trusted"));
        return verify(arguments.value(1), keys);
    }
    if (arguments.size() != 3)
        return usageError(QStringLiteral("expected FOLDER, VERSION and BASE_URL"));

    Publish::Request request;
    request.folder = arguments.at(0);
    request.version = arguments.at(1);
    request.baseUrl = arguments.at(2);
    request.date =
        parser.isSet(date) ? parser.value(date) : QDate::currentDate().toString(Qt::ISODate);
    request.output = parser.value(output);
    request.signingKey = parser.value(sign);
    request.serial = parser.value(serial);
    request.expiresIn = parser.value(expires);
    request.mirrors = parser.values(mirror);
    QString launcherProblem;
    request.launcher = launcherRelease(parser.value(launcherVersion), parser.values(launcherFile),
                                       parser.values(launcherMinimumOs), &launcherProblem);
    if (!launcherProblem.isEmpty())
        return usageError(launcherProblem);
    // Reproducible builds' convention: the publication's time, for the expiry.
    bool epochSet = false;
    const qint64 epoch = qEnvironmentVariable("SOURCE_DATE_EPOCH").toLongLong(&epochSet);
    if (epochSet)
        request.now = QDateTime::fromSecsSinceEpoch(epoch).toUTC();
    if (parser.isSet(sign) && request.signingKey.isEmpty())
        return usageError(QStringLiteral("--sign needs a key file"));
    request.trusted = keys;
    if (parser.isSet(previous)) {
        const Publish::ManifestSource source = Publish::readManifestSource(parser.value(previous));
        request.previous.source = source.name;
        request.previous.manifest = source.manifest;
        request.previous.problem = source.problem;
        request.previous.isSigned = source.signature.has_value();
        if (source.problem.isEmpty() && !source.signature && !source.signatureMissing)
            request.previous.problem = QStringLiteral("its signature ") + source.signatureName +
                                       QStringLiteral(": ") + source.signatureProblem +
                                       QStringLiteral(": cannot tell whether it is signed");
    }
    request.allowUnsigned = parser.isSet(allowUnsigned);
    request.allowExpired = parser.isSet(allowExpired);
    request.sameVersion = parser.isSet(sameVersion);
    return report(Publish::publish(request), request);
}
