#pragma once

#include <QString>

// How one file of a run ended.
struct TransferOutcome
{
    enum class Kind {
        Saved,          // the new file is in place
        Unchanged,      // the file there already has the listed size and SHA-256: not fetched
        NotModified,    // a 304 kept the file that is there
        Redirected,     // a redirect status: nothing saved, the redirect is reported
        NotOpened,      // no target could be opened: nothing was requested
        Failed,         // nothing saved; `problem` says why
        KeptToContinue, // nothing saved; the partial file stays for the next start
    };
    Kind kind = Kind::Failed;
    QString problem;
    // The file counts as done for the run.
    bool counts() const
    {
        return kind == Kind::Saved || kind == Kind::Unchanged || kind == Kind::NotModified;
    }
};
