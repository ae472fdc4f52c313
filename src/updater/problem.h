#pragma once

#include <QString>

// Why a file cannot be fetched or saved; no reason means nothing is wrong. An answer that is
// dropped unread would let a broken file count as saved, hence [[nodiscard]].
struct [[nodiscard]] Problem
{
    QString reason;
    // Whom it is down to, for a file that other hosts could serve: a host's failure moves the
    // file to another host, bytes that are not the listed ones also bar the host from the run,
    // and a fault here (the disk) ends the file wherever it came from.
    enum class Cause { Host, WrongBytes, Here };
    Cause cause = Cause::Host;

    // True when something is wrong.
    explicit operator bool() const { return !reason.isEmpty(); }
};
