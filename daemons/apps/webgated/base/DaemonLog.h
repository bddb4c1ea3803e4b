#pragma once

#include <QString>

/// One line to the daemon's log at `level` (0 is always written, higher is more detail). Any
/// thread: lines from other threads are handed to the log's own writer.
void daemonLog(const QString& text, int level);
