#pragma once

#include <QStringList>

// Puts the given files, written and closed already, durably on disk together with the folder
// entries that name them, so that a crash or power cut after this returns cannot lose them.
// False when any of it could not be flushed. It blocks for as long as the disk needs: call it
// away from the GUI thread.
bool flushToDisk(const QStringList &files);
