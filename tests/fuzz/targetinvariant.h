#pragma once

#include "updater/targetpath.h"

#include <QString>

// The promise of a download target, checked from the outside: it is refused, or it names exactly
// one entry directly inside <clientDir>/Data/<locale>/, read as a Linux path and as a Windows
// path alike. Returns why the target breaks that promise, or an empty text when it keeps it.
QString targetViolation(const QString &clientDir, const QString &locale,
                        const DownloadTarget &target);
