#pragma once

#include <QString>

// Where this launcher runs from, as far as updating itself goes. Under the starter (see
// src/starter/) the installation holds one folder per version, versions/<version>/, named by
// the version it holds; the starter runs the newest one that is not blocked, on trial until it
// is healthy. Any other launcher (a build run from its folder, a system package) updates nothing.
class LauncherInstall
{
public:
    enum class Kind {
        Versioned, // run by the starter from versions/<version>/
        Package,   // installed by a system package: its package manager updates it
        Alone,     // run from anywhere else, e.g. the build folder
    };

    // This process's installation: the starter names its root in EMBERCREST_STARTER.
    static LauncherInstall current();
    // An installation rooted at `root`, running `version` (tests).
    static LauncherInstall versioned(const QString &root, const QString &version);

    Kind kind() const { return what; }
    QString version() const { return own; }
    QString root() const { return top; }

    QString folderOf(const QString &version) const;
    // A version folder fetched here before (whole: it is renamed into place at its end).
    bool has(const QString &version) const;
    // A version that failed to start twice here: the starter will not run it.
    bool isBlocked(const QString &version) const;
    // Why nothing may be written to the installation; empty when it may.
    QString notWritable() const;
    // Where a version is put together before it is renamed to its folder.
    QString stagingFolder(const QString &version) const;
    // Renames the staged version into place, where the starter sees it. False, with the reason,
    // when it could not.
    bool promote(const QString &version, QString *problem) const;

    // Not healthy yet: this start is one of the starter's tries.
    bool onTrial() const;
    // Marks this version healthy, so the starter keeps it, and tidies up.
    void declareHealthy() const;
    // For a healthy version: removes the folders no start will need, every version below the
    // newest healthy one before this (the rollback's), and stale staging folders.
    void tidy() const;

private:
    Kind what = Kind::Alone;
    QString own;
    QString top;
};
