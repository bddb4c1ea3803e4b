#pragma once

#include <QString>

/// The one place that knows about WEBGATED_ROOT: every file-system path the daemon reads or
/// writes goes through `fsPath`, as if the daemon were chrooted under that directory.
namespace FsRoot {

/// The prefix from WEBGATED_ROOT without a trailing slash; empty on a robot.
QString prefix();

/// Maps a robot path ("/etc/...") to the path on this machine. Relative paths are unchanged.
QString fsPath(const QString& robotPath);

/// Maps a path on this machine back to the robot's view (for replies and log lines).
QString robotPath(const QString& fsPath);

}  // namespace FsRoot
