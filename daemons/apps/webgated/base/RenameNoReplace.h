#pragma once

#include <QByteArray>

/// Renames `from` to `to` (paths on this machine) only if nothing at all is at `to`, not even a
/// dangling link. A link at `from` is moved itself, never followed, and nothing is ever copied.
/// Where the file system has no no-replace rename, a hard link and an unlink do the same for
/// anything but a folder. False with errno set on failure (EEXIST: `to` is taken).
bool renameNoReplace(const QByteArray& from, const QByteArray& to);
