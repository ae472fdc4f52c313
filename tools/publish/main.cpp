// embercrest-publish: writes the update manifest that the launcher reads for an update folder.
#include "config/config.h"
#include "publish.h"
#include "signing.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
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
    "not locale folders are skipped with a warning. The manifest also holds the size and the\n"
    "SHA-256 of every file (member \"integrity\"), which older launchers ignore.\n"
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
    "Example: embercrest-publish --sign realm.key updates 1.4 https://cdn.example.org/wotlk/\n"
    "\n"
    "Exit status: 0 when the manifest was written, 1 when an input was wrong (nothing was\n"
    "written), 2 on a usage error.";

int usageError(const QString &message)
{
    QTextStream(stderr) << QCoreApplication::applicationName() << ": " << message << "\nTry '"
                        << QCoreApplication::applicationName()
                        << " --help' for more information.\n";
    return 2;
}

int report(const Publish::Report &report, const QString &version)
{
    const QString name = QCoreApplication::applicationName();
    QTextStream err(stderr);
    for (const QString &warning : report.warnings)
        err << name << ": warning: " << warning << '\n';
    for (const QString &error : report.errors)
        err << name << ": error: " << error << '\n';
    if (!report.ok()) {
        err << name << ": " << report.output << " was not changed\n";
        return 1;
    }
    QTextStream out(stdout);
    out << "Wrote " << report.output << ": version " << version << ", serial " << report.serial
        << ", " << report.files << " files in " << report.locales << " locales";
    if (!report.expires.isEmpty())
        out << ", expires " << report.expires;
    out << '\n';
    if (!report.signature.isEmpty())
        out << "Wrote " << report.signature << ": signed for the public key " << report.publicKey
            << '\n';
    return 0;
}

int keygen(const QString &name)
{
    QString problem;
    const QByteArray publicKey = Publish::generateKeyFiles(name, &problem);
    if (publicKey.isEmpty()) {
        QTextStream(stderr) << QCoreApplication::applicationName() << ": error: " << problem
                            << '\n';
        return 1;
    }
    QTextStream(stdout) << "Wrote " << name << ".key (the private key: keep it secret and off the "
                        << "update server) and " << name << ".pub\n"
                        << "Build the launcher with -DEMBERCREST_MANIFEST_PUBKEY=" << publicKey
                        << '\n';
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("embercrest-publish"));
    QCoreApplication::setApplicationVersion(QStringLiteral(EMBERCREST_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QString::fromLatin1(Description).arg(Config::localeCodes().join(QStringLiteral(", "))));
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
                       "serial of the manifest at the output path plus one, or 1)."),
        QStringLiteral("N"));
    const QCommandLineOption expires(
        QStringLiteral("expires"),
        QStringLiteral("Launchers built with a key refuse the manifest <days> days from now "
                       "(default: never)."),
        QStringLiteral("days"));
    const QCommandLineOption mirror(
        QStringLiteral("mirror"),
        QStringLiteral("A host that serves FOLDER as well, at <url> (repeatable): launchers fetch "
                       "the files from the fastest host that serves them right."),
        QStringLiteral("url"));
    parser.addOptions({output, date, sign, serial, expires, mirror});
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
    if (arguments.size() == 2 && arguments.at(0) == QLatin1String("keygen")) {
        if (parser.isSet(output) || parser.isSet(date) || parser.isSet(sign) ||
            parser.isSet(serial) || parser.isSet(expires) || parser.isSet(mirror))
            return usageError(QStringLiteral("keygen takes NAME only"));
        return keygen(arguments.at(1));
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
    // Reproducible builds' convention: the publication's time, for the expiry.
    bool epochSet = false;
    const qint64 epoch = qEnvironmentVariable("SOURCE_DATE_EPOCH").toLongLong(&epochSet);
    if (epochSet)
        request.now = QDateTime::fromSecsSinceEpoch(epoch).toUTC();
    if (parser.isSet(sign) && request.signingKey.isEmpty())
        return usageError(QStringLiteral("--sign needs a key file"));
    return report(Publish::publish(request), request.version);
}
