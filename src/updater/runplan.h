#pragma once

#include "manifestreader.h"
#include "problem.h"

#include <QHash>
#include <QString>
#include <QUrl>
#include <QVector>

#include <optional>

// One file of a download run: where it comes from, where it goes, and what it must be once
// fetched, as the manifest reading that queued it says.
struct PlannedFile
{
    QUrl url;
    QString target; // empty: there is no target that may be written
    QString locale;
    // The size and SHA-256 that the file must have. None: the manifest gives none, and the file
    // is fetched by a plain GET whose reply alone decides its outcome.
    std::optional<FileIntegrity> integrity;
    // The same file on the manifest's mirrors; only ever for a file with an integrity entry.
    QVector<QUrl> mirrors;

    // Why the file must not be fetched at all (an unusable entry, or none where a signed
    // manifest must give one); none when it may be.
    Problem refusal(bool integrityRequired) const;
};

// What the manifest readings listed, and what the queued files were bound to. A file's
// integrity entry comes from the reading that listed it last; once the file is queued, its entry
// is fixed: a later reading (an older manifest brought by a re-check, say) cannot change what a
// waiting file is checked against.
class RunPlan
{
public:
    // A reading listed `urlText`; its integrity entry, if it has one, goes with it.
    void noteListed(const QString &urlText, const ManifestReading &reading);
    // The entry for a URL entering the queue, bound to what its reading said.
    PlannedFile bind(const QUrl &url, const QString &urlText, const QString &target,
                     const QString &locale);
    // The queued file's entry, handed to its transfer; the plan forgets it.
    PlannedFile take(const QUrl &url);
    // The run ended and fileLocales let go of `urlText`.
    void forgetListed(const QString &urlText) { listed.remove(urlText); }

private:
    struct Listed
    {
        std::optional<FileIntegrity> integrity;
        QVector<QUrl> mirrors;
    };
    QHash<QString, Listed> listed;
    QHash<QUrl, PlannedFile> queued;
};
