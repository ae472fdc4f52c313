#pragma once

#include <QByteArray>
#include <QStringList>

// The fuzzing entry point, shared by the libFuzzer target and the replay test: reads `input` as
// an update manifest the way a check does, works out the download target of every file it
// lists, and returns every broken promise (empty when all hold):
// - the outcome, the version text and the two version numbers agree with each other;
// - the locale flags decide only what is collected, never the outcome;
// - reading again with the online version installed finds nothing to do;
// - every listed file has a URL, and only an installed locale lists files;
// - every target is refused or names one entry inside <ClientDir>/Data/<locale>/.
QStringList manifestInvariantViolations(const QByteArray &input);
