#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QString>
#include <optional>

/// How `AtomicFile::write` gives the new file its place.
struct AtomicFileOptions {
    mode_t mode = 0644;
    /// Owner and group of the new file. Giving a file away needs root; the same owner and group
    /// need no privilege, so a failed chown that leaves them as asked is no failure.
    std::optional<uid_t> uid;
    std::optional<gid_t> gid;
    /// Put the file there only if nothing at all is at the path (EEXIST otherwise).
    bool noReplace = false;
    /// The temporary file is ".<name>.XXXXXX" (hidden from scans) rather than "<name>.XXXXXX".
    bool hiddenTemporary = true;
    /// Sync the folder after the rename, so that the new name itself is on the disk.
    bool syncFolder = true;
};

/// Replaces a file so that readers see the old or the new content, never a half-written one, and
/// a crash at any moment leaves the old file or the new one (and at most a temporary file): the
/// content goes into a temporary file beside the path, private until it has its mode and owner,
/// is synced and then renamed over the path. A link at the path is replaced itself, never its
/// target.
namespace AtomicFile {

/// Writes `content` to `path` (a path on this machine). False with errno set on failure; the
/// temporary file is gone then.
bool write(const QByteArray& path, const QByteArray& content,
           const AtomicFileOptions& options = {});
bool write(const QString& path, const QByteArray& content, const AtomicFileOptions& options = {});

/// Writes all of `bytes` to `fd`, again after interruptions.
bool writeAll(int fd, const QByteArray& bytes);

/// Syncs a folder, so that names made or removed in it reach the disk.
void syncFolder(const QByteArray& folder);

/// The text of errno (or of `error`) for a message.
QString errorText(int error = -1);

}  // namespace AtomicFile
