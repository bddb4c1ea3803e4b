#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

/// What it takes to undo a network change: the network files as they are on disk (bytes, mode,
/// owner, group). Files are read directly, never through the readers, which may create them.
namespace NetworkUndo {

/// A network file larger than this cannot be taken, so a change to it cannot be undone.
constexpr qint64 kMaxFileBytes = 1 << 20;

/// One network file as it was before a change. Paths are robot paths (see FsRoot).
struct FileSnapshot {
    QString path;
    bool exists = false;  // false: the file was not there, undoing removes it
    QByteArray bytes;
    uint mode = 0;  // permission bits, with set-id and sticky bits
    uint uid = 0;
    uint gid = 0;
};

/// Takes the file at the robot path `path` (through a link). False with `why` when it cannot be
/// taken: unreadable, not a regular file, a dangling link, larger than kMaxFileBytes.
bool take(const QString& path, FileSnapshot* snapshot, QString* why);

/// Puts the file back atomically: into the file a link points to if the path is one, with its
/// mode, owner and group; a file that was not there is removed. False with `why` on failure.
bool restore(const FileSnapshot& snapshot, QString* why);

/// At start-up: removes the temporary files a restore (or a copy) cut short left next to the
/// files at the robot paths `paths` (and next to the files they link to): "." + name + "." and
/// six letters or digits (without the leading "." unless `dotted`), plain files only. Returns
/// the robot paths removed.
QStringList removeLeftovers(const QStringList& paths, bool dotted = true);

}  // namespace NetworkUndo
