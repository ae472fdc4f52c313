#pragma once

#include <QStringList>

class QFileDevice;

// Puts the given files, written and closed already, durably on disk together with the folder
// entries that name them, so that a crash or power cut after this returns cannot lose them.
// False when any of it could not be flushed. It blocks for as long as the disk needs: call it
// away from the GUI thread.
bool flushToDisk(const QStringList &files);

// Asks the system to start writing `length` bytes of `file`, from `offset`, to disk now without
// waiting for them: the disk works while the rest of a download arrives, and the flush at the
// end of the run finds little left. Only a hint; where there is no such call it does nothing.
void startWritingToDisk(QFileDevice &file, qint64 offset, qint64 length);
