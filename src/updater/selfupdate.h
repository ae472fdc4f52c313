#pragma once

#include "hashcache.h"
#include "hostpool.h"
#include "launcherinstall.h"
#include "launcherrelease.h"
#include "stagedfile.h"

#include <QObject>
#include <QPointer>

#include <optional>

class FileTransfer;
class QNetworkAccessManager;

// The launcher's own update: a release that a signed manifest announces is fetched in the
// background with the verified transfer (resumed, hashed, bounded), put together in a staging
// folder of the installation and renamed into versions/<version>/ whole. The starter runs it
// from the next start on; nothing running is replaced. It has a network manager of its own, so
// the updater's reply gate never sees its replies.
class SelfUpdate final : public QObject
{
    Q_OBJECT

public:
    struct Outcome
    {
        enum class Kind {
            Staged, // whole and verified in its folder: the next start runs it
            Failed, // nothing new in place; `problem` says why
        };
        Kind kind = Kind::Failed;
        QString version;
        QString problem;
    };

    SelfUpdate(const LauncherInstall &install, QObject *parent = nullptr);
    ~SelfUpdate() override;

    // A manifest was accepted. `signedByKey`: a key is built in, so the manifest's signature,
    // serial and expiry held. Logs what is done with its "launcher" member, if it has one.
    void consider(const QByteArray &manifest, bool signedByKey);
    // The game's update is idle: a release considered worth fetching is fetched now.
    void start();
    bool running() const { return current != nullptr; }

signals:
    void ended(const SelfUpdate::Outcome &outcome);

private:
    QString refusal(const LauncherRelease &release) const;
    void fetchNext();
    void fileEnded();
    void finish(Outcome::Kind kind, const QString &problem = {});

    const LauncherInstall install;
    QNetworkAccessManager *network = nullptr;
    std::optional<LauncherRelease> due; // announced, worth fetching, not fetched yet
    std::optional<LauncherRelease> fetching;
    int nextFile = 0;
    FileTransfer *current = nullptr;
    StagedFile output;
    HashCache hashes{QString()};
    HostPool hosts;
};
