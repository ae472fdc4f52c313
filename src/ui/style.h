#pragma once

#include <QString>

// The window's style sheet is always set whole: the embedded application style sheet, followed
// by at most one background rule for the window.
QString applicationStyleSheet();
QString styleSheetWithBackground(const QString &backgroundRule);
