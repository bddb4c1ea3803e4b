#include "network/NetworkUndo.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include "base/AtomicFile.h"
#include "base/FsRoot.h"

namespace NetworkUndo {

namespace {

// The file a path finally names once its links are followed (the path itself when it is no
// link); a link's absolute target is a robot path too.
QByteArray finalTarget(const QByteArray& path, QString* why) {
    QByteArray target = path;
    for (int depth = 0; depth < 16; ++depth) {
        struct stat status;
        if (::lstat(target.constData(), &status) != 0 || !S_ISLNK(status.st_mode)) return target;
        char buffer[4096];
        const ssize_t length = ::readlink(target.constData(), buffer, sizeof(buffer) - 1);
        if (length <= 0) break;
        const QString link = QFile::decodeName(QByteArray(buffer, static_cast<int>(length)));
        if (link.startsWith(QLatin1Char('/'))) {
            target = QFile::encodeName(FsRoot::fsPath(link));
        } else {
            target = target.left(target.lastIndexOf('/') + 1) + QFile::encodeName(link);
        }
    }
    *why = QStringLiteral("too many links");
    return QByteArray();
}

}  // namespace

bool take(const QString& path, FileSnapshot* snapshot, QString* why) {
    *snapshot = FileSnapshot();
    snapshot->path = path;
    const QByteArray file = QFile::encodeName(FsRoot::fsPath(path));
    // Non-blocking: a pipe planted at the path must not hold the request thread.
    const int fd = ::open(file.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        struct stat status;
        if (errno == ENOENT && ::lstat(file.constData(), &status) != 0 && errno == ENOENT) {
            return true;  // not there: undoing removes what the change creates
        }
        *why = path + QStringLiteral(": ") + AtomicFile::errorText();
        return false;
    }
    struct stat status;
    bool ok = ::fstat(fd, &status) == 0;
    if (!ok) {
        *why = path + QStringLiteral(": ") + AtomicFile::errorText();
    } else if (!S_ISREG(status.st_mode)) {
        *why = path + QStringLiteral(": not a regular file");
        ok = false;
    } else {
        // Read one byte more than allowed, so that a file grown since fstat is caught too.
        QByteArray bytes(static_cast<int>(kMaxFileBytes + 1), Qt::Uninitialized);
        qint64 got = 0;
        while (got < bytes.size()) {
            const ssize_t n =
                ::read(fd, bytes.data() + got, static_cast<size_t>(bytes.size() - got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                *why = path + QStringLiteral(": ") + AtomicFile::errorText();
                ok = false;
                break;
            }
            if (n == 0) break;
            got += n;
        }
        if (ok && got > kMaxFileBytes) {
            *why = path + QStringLiteral(": larger than 1 MiB");
            ok = false;
        }
        if (ok) {
            bytes.truncate(static_cast<int>(got));
            snapshot->exists = true;
            snapshot->bytes = bytes;
            snapshot->mode = status.st_mode & 07777;
            snapshot->uid = status.st_uid;
            snapshot->gid = status.st_gid;
        }
    }
    ::close(fd);
    return ok;
}

bool restore(const FileSnapshot& snapshot, QString* why) {
    const QByteArray file = QFile::encodeName(FsRoot::fsPath(snapshot.path));
    if (!snapshot.exists) {
        if (::unlink(file.constData()) == 0 || errno == ENOENT) return true;
        *why = snapshot.path + QStringLiteral(": ") + AtomicFile::errorText();
        return false;
    }
    const QByteArray target = finalTarget(file, why);
    if (target.isEmpty()) return false;
    AtomicFileOptions options;
    options.mode = snapshot.mode;
    options.uid = snapshot.uid;
    options.gid = snapshot.gid;
    if (!AtomicFile::write(target, snapshot.bytes, options)) {
        *why = snapshot.path + QStringLiteral(": ") + AtomicFile::errorText();
        return false;
    }
    return true;
}

QStringList removeLeftovers(const QStringList& paths, bool dotted) {
    QStringList removed;
    QList<QByteArray> targets;
    for (const QString& path : paths) {
        const QByteArray file = QFile::encodeName(FsRoot::fsPath(path));
        targets << file;
        QString why;
        const QByteArray target = finalTarget(file, &why);
        if (!target.isEmpty() && target != file) targets << target;
    }
    for (const QByteArray& target : std::as_const(targets)) {
        const int slash = target.lastIndexOf('/');
        const QByteArray folder = target.left(slash + 1);
        const QString prefix = (dotted ? QStringLiteral(".") : QString()) +
                               QFile::decodeName(target.mid(slash + 1)) + QLatin1Char('.');
        const QRegularExpression name(QStringLiteral("^") + QRegularExpression::escape(prefix) +
                                      QStringLiteral("[A-Za-z0-9]{6}$"));
        const QStringList entries =
            QDir(QFile::decodeName(folder)).entryList(QDir::Files | QDir::Hidden | QDir::System);
        for (const QString& entry : entries) {
            if (!name.match(entry).hasMatch()) continue;
            const QByteArray leftover = folder + QFile::encodeName(entry);
            struct stat status;
            // Never a link, nor anything but a plain file.
            if (::lstat(leftover.constData(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
            if (::unlink(leftover.constData()) == 0) {
                removed << FsRoot::robotPath(QFile::decodeName(leftover));
            }
        }
    }
    return removed;
}

}  // namespace NetworkUndo
