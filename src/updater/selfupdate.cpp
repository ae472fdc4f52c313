#include "selfupdate.h"

#include "filetransfer.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QOperatingSystemVersion>
#include <QRegularExpression>
#include <QSysInfo>

namespace {

void note(const QString &line)
{
    qDebug().noquote() << QStringLiteral("Launcher update: ") + line;
}

// Windows' version number (10.0.19045); elsewhere the kernel's (6.1.0 of "6.1.0-18-amd64").
QString systemVersion()
{
#ifdef Q_OS_WIN
    const QOperatingSystemVersion os = QOperatingSystemVersion::current();
    return QStringLiteral("%1.%2.%3")
        .arg(os.majorVersion())
        .arg(os.minorVersion())
        .arg(os.microVersion());
#else
    static const QRegularExpression leading(QStringLiteral("^[0-9]+(\\.[0-9]+){0,3}"));
    return leading.match(QSysInfo::kernelVersion()).captured();
#endif
}

} // namespace

SelfUpdate::SelfUpdate(const LauncherInstall &install, QObject *parent)
    : QObject(parent), install(install)
{
}

SelfUpdate::~SelfUpdate()
{
    // The transfer before the manager whose reply it holds; its staged file is dropped.
    delete current;
    current = nullptr;
}

// Why the announced release is not fetched; empty when it is.
QString SelfUpdate::refusal(const LauncherRelease &release) const
{
    if (!release.problem.isEmpty())
        return release.problem;
    const QString &version = release.version;
    if (compareReleaseVersions(version, install.version()) <= 0)
        return QStringLiteral("not newer");
    switch (install.kind()) {
    case LauncherInstall::Kind::Package:
        return QStringLiteral("this launcher was installed by a package: its package manager "
                              "updates it");
    case LauncherInstall::Kind::Alone:
        return QStringLiteral("this launcher was not started by its starter, so it has no "
                              "versions folder to update");
    case LauncherInstall::Kind::Versioned:
        break;
    }
    if (install.isBlocked(version))
        return QStringLiteral("it failed to start here twice; waiting for a newer version");
    const QString system = systemVersion();
    if (!release.minimumOs.isEmpty() &&
        (system.isEmpty() || compareReleaseVersions(system, release.minimumOs) < 0))
        return QStringLiteral("it needs system version %1 or newer, this is %2")
            .arg(release.minimumOs, system.isEmpty() ? QStringLiteral("unknown") : system);
    return install.notWritable();
}

void SelfUpdate::consider(const QByteArray &manifest, bool signedByKey)
{
    const std::optional<LauncherRelease> release =
        readLauncherRelease(manifest, launcherPlatform());
    due.reset();
    if (!release)
        return;
    const QString version = release->version.isEmpty() ? QStringLiteral("?") : release->version;
    // Only a manifest proven by a key built into this launcher may choose the program it runs.
    if (!signedByKey) {
        note(QStringLiteral("%1 refused: the manifest is not signed (no key is built in)")
                 .arg(version));
        return;
    }
    if (install.kind() == LauncherInstall::Kind::Versioned && release->problem.isEmpty() &&
        compareReleaseVersions(release->version, install.version()) > 0 &&
        install.has(release->version) && !install.isBlocked(release->version)) {
        note(QStringLiteral("%1 is ready, used from the next start").arg(version));
        return;
    }
    const QString why = refusal(*release);
    if (!why.isEmpty()) {
        note(QStringLiteral("%1 refused (this launcher is %2): %3")
                 .arg(version, install.version(), why));
        return;
    }
    if (fetching && fetching->version == release->version)
        return; // already under way
    note(QStringLiteral("%1 announced (this launcher is %2), fetched once the game is up to date")
             .arg(version, install.version()));
    due = release;
}

void SelfUpdate::start()
{
    if (!due || fetching)
        return;
    fetching = std::exchange(due, std::nullopt);
    nextFile = 0;
    const QString staging = install.stagingFolder(fetching->version);
    if (!QDir().mkpath(staging)) {
        finish(Outcome::Kind::Failed,
               QStringLiteral("%1 cannot be made").arg(QDir::toNativeSeparators(staging)));
        return;
    }
    output.sweepLeftovers(staging);
    // Made only now: most starts fetch no launcher, and they pay nothing for one.
    if (!network)
        network = new QNetworkAccessManager(this);
    note(QStringLiteral("fetching %1").arg(fetching->version));
    fetchNext();
}

void SelfUpdate::fetchNext()
{
    if (nextFile < fetching->files.size()) {
        const LauncherFile &file = fetching->files.at(nextFile++);
        PlannedFile planned;
        planned.url = file.url;
        planned.target = install.stagingFolder(fetching->version) + QLatin1Char('/') + file.path;
        planned.integrity = file.integrity;
        current = FileTransfer::create(network, planned, output, hashes, hosts, true, this);
        connect(current, &FileTransfer::dataArrived, this, [this] { current->writeAvailable(); });
        connect(current, &FileTransfer::finished, this, &SelfUpdate::fileEnded);
        // Its outcome may be known at once (a target that cannot be written, say).
        if (!current->start())
            fileEnded();
        return;
    }
    QString problem;
    if (!install.promote(fetching->version, &problem)) {
        finish(Outcome::Kind::Failed, problem);
        return;
    }
    finish(Outcome::Kind::Staged);
}

void SelfUpdate::fileEnded()
{
    FileTransfer *ended = std::exchange(current, nullptr);
    const TransferOutcome outcome = ended->outcome();
    const QString path = ended->file().target;
    ended->deleteLater();
    hosts.clear();
    if (!outcome.counts()) {
        finish(Outcome::Kind::Failed,
               QStringLiteral("%1: %2").arg(QFileInfo(path).fileName(),
                                            outcome.problem.isEmpty() ? QStringLiteral("not saved")
                                                                      : outcome.problem));
        return;
    }
    fetchNext();
}

void SelfUpdate::finish(Outcome::Kind kind, const QString &problem)
{
    Outcome outcome{kind, fetching->version, problem};
    fetching.reset();
    if (kind == Outcome::Kind::Staged) {
        note(QStringLiteral("%1 is ready, used from the next start").arg(outcome.version));
    } else {
        // An empty staging folder is no use to the next try; a kept partial file is.
        QDir().rmdir(install.stagingFolder(outcome.version));
        note(QStringLiteral("%1 not fetched: %2").arg(outcome.version, problem));
    }
    emit ended(outcome);
}
