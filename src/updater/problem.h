#pragma once

#include <QString>

// Why a file cannot be fetched or saved; no reason means nothing is wrong. An answer that is
// dropped unread would let a broken file count as saved, hence [[nodiscard]].
struct [[nodiscard]] Problem
{
    QString reason;

    // True when something is wrong.
    explicit operator bool() const { return !reason.isEmpty(); }
};
