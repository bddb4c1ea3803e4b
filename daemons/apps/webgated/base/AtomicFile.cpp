#include "base/AtomicFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>

#include "base/RenameNoReplace.h"

namespace AtomicFile {

namespace {

// Owner and group as asked: a failed chown is no failure when they already are.
bool giveAway(int fd, const AtomicFileOptions& options) {
    if (!options.uid && !options.gid) return true;
    const uid_t uid = options.uid ? *options.uid : static_cast<uid_t>(-1);
    const gid_t gid = options.gid ? *options.gid : static_cast<gid_t>(-1);
    if (::fchown(fd, uid, gid) == 0) return true;
    const int error = errno;
    struct stat status;
    if (::fstat(fd, &status) == 0 && (!options.uid || status.st_uid == *options.uid) &&
        (!options.gid || status.st_gid == *options.gid)) {
        return true;
    }
    errno = error;
    return false;
}

}  // namespace

bool write(const QByteArray& path, const QByteArray& content, const AtomicFileOptions& options) {
    const int slash = path.lastIndexOf('/');
    const QByteArray folder = path.left(slash + 1);
    QByteArray temporary =
        folder + (options.hiddenTemporary ? "." : "") + path.mid(slash + 1) + ".XXXXXX";
    // mkostemp makes it 0600: nothing of it is readable by others before its mode is set.
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return false;
    // chown clears the set-id bits: the mode is given again once the owner is right.
    bool ok = writeAll(fd, content) && ::fchmod(fd, options.mode) == 0 && giveAway(fd, options) &&
              ::fchmod(fd, options.mode) == 0 && ::fsync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok) {
        ok = options.noReplace ? renameNoReplace(temporary, path)
                               : ::rename(temporary.constData(), path.constData()) == 0;
        error = errno;
    }
    if (!ok) {
        ::unlink(temporary.constData());
        errno = error;
        return false;
    }
    if (options.syncFolder) syncFolder(folder.isEmpty() ? QByteArray(".") : folder);
    return true;
}

bool write(const QString& path, const QByteArray& content, const AtomicFileOptions& options) {
    return write(QFile::encodeName(path), content, options);
}

bool writeAll(int fd, const QByteArray& bytes) {
    const char* data = bytes.constData();
    qint64 size = bytes.size();
    while (size > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(size));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= written;
    }
    return true;
}

void syncFolder(const QByteArray& folder) {
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

QString errorText(int error) { return QString::fromLocal8Bit(strerror(error < 0 ? errno : error)); }

}  // namespace AtomicFile
