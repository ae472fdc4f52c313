#pragma once

#include "updater/manifestreader.h"

#include <QByteArray>

// Qt 5.15's QJsonDocument::fromJson leaks the earlier value of a repeated member name when that
// value is a non-empty array or object ({"a":[1],"a":1}): a defect of Qt's parser, not of the
// launcher. In a sanitizer build, a reading of a text that may repeat a member name runs with
// leak detection off; every other reading is checked for leaks as usual.

// True when some object in `json` may name a member twice. Errs towards true: names with escapes
// or non-ASCII bytes count as possible repeats, as Qt may decode two spellings to one name.
bool mayRepeatMemberName(const QByteArray &json);

ManifestReading readManifestCheckingLeaks(const QByteArray &manifest, const QString &localVersion,
                                          const LocaleFlagLookup &flagOf);
