#pragma once

#include <QString>
#include <QStringList>

// The window's style sheet is always set whole: the embedded application style sheet, followed
// by at most one background rule for the window.
QString applicationStyleSheet();
QString styleSheetWithBackground(const QString &backgroundRule);

// Registers the embedded font files and maps every family that the style sheet and the form
// name onto them, so the launcher looks the same on every system. Safe to call more than once.
// Returns the families that the font files provide.
QStringList registerEmbeddedFonts();
