#pragma once

#include "manifestreader.h"
#include "threadjob.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QVector>

// Same version, but the manifest knows every file's size: which listed files of the installed
// locales are missing or have another size, so that they are fetched again. Sizes only, so that
// a start does not read gigabytes; damage that keeps the size is found by the next update's
// hashes. A stat per listed file can take seconds on a cold disk, so the manifest is read again
// and the files are looked at on a thread of its own; found() follows on the caller's thread.
class RepairCheck final : public QObject
{
    Q_OBJECT

public:
    struct Outcome
    {
        ManifestReading reading;          // with every integrity entry
        QVector<ManifestFinding> missing; // to fetch again, in the order the manifest lists them
    };

    explicit RepairCheck(QObject *parent = nullptr);

    // `flags`: the WClientLocale flag of each locale the manifest names, read by the caller.
    void start(const QByteArray &manifest, const QString &localVersion,
               const QHash<QString, QString> &flags, const QString &clientDir);
    const Outcome &outcome() const { return result; }

signals:
    void found();

private:
    Outcome result;
    ThreadJob job{this};
};
