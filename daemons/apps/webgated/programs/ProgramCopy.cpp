#include "programs/ProgramCopy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArrayList>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/FsRoot.h"
#include "kel/corvanta/daemons/Log.h"
#include "base/DaemonLog.h"

using kel::corvanta::daemons::Log;

namespace {

/// Closes its descriptor when it goes.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

QByteArray encoded(const QString& path) { return QFile::encodeName(path); }

QString errorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Opens the private folder, made if missing. Neither it nor "/run/webgated" may be a link or be
// changeable by anyone else: the interpreter, as root, later opens the copy there by its path.
int openFolder(QString& why) {
    const QString base = FsRoot::fsPath(QStringLiteral("/run/webgated"));
    QDir().mkpath(FsRoot::fsPath(QStringLiteral("/run")));  // exists on a robot
    if (::mkdir(encoded(base).constData(), 0755) != 0 && errno != EEXIST) {
        why = QStringLiteral("cannot make /run/webgated: ") + errorText(errno);
        return -1;
    }
    Fd baseFd(::open(encoded(base).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status;
    if (!baseFd.valid() || ::fstat(baseFd.get(), &status) != 0) {
        why = QStringLiteral("/run/webgated is not a folder: ") + errorText(errno);
        return -1;
    }
    if ((status.st_uid != ::geteuid() && status.st_uid != 0) ||
        (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = QStringLiteral("/run/webgated may be changed by others");
        return -1;
    }
    const bool made = ::mkdirat(baseFd.get(), "programs", 0700) == 0;
    if (!made && errno != EEXIST) {
        why = QStringLiteral("cannot make /run/webgated/programs: ") + errorText(errno);
        return -1;
    }
    Fd dir(::openat(baseFd.get(), "programs", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (made && dir.valid()) ::fchmod(dir.get(), 0700);  // whatever the umask took away
    if (!dir.valid() || ::fstat(dir.get(), &status) != 0) {
        why = QStringLiteral("/run/webgated/programs is not a folder: ") + errorText(errno);
        return -1;
    }
    if (status.st_uid != ::geteuid() || (status.st_mode & 07777) != 0700) {
        why = QStringLiteral("/run/webgated/programs is not the daemon's own folder of mode 0700");
        return -1;
    }
    return dir.release();
}

// The names in the folder `dir` (the descriptor stays open), "." and ".." left out.
QByteArrayList namesIn(int dir) {
    QByteArrayList names;
    DIR* listing = ::fdopendir(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
    if (!listing) return names;
    ::rewinddir(listing);
    while (const dirent* entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.append(QByteArray(entry->d_name));
    }
    ::closedir(listing);
    return names;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        data += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

}  // namespace

QString ProgramCopy::folder() { return FsRoot::fsPath(QStringLiteral("/run/webgated/programs")); }

ProgramCopy::Outcome ProgramCopy::make(const QString& source, const QString& name,
                                       const std::function<void()>& afterCheck) {
    Outcome outcome;
    auto refuse = [&outcome](Refusal refusal, const QString& reason) {
        outcome.refusal = refusal;
        outcome.reason = reason;
        return outcome;
    };
    // O_PATH opens nothing but the name: a FIFO cannot hold the thread, a device is never opened.
    Fd checked(::open(encoded(source).constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!checked.valid()) {
        const int error = errno;
        return refuse(error == ENOENT ? Refusal::Missing : Refusal::Unreadable, errorText(error));
    }
    struct stat status;
    if (::fstat(checked.get(), &status) != 0) return refuse(Refusal::Unreadable, errorText(errno));
    if (S_ISLNK(status.st_mode)) return refuse(Refusal::Link, QStringLiteral("a symbolic link"));
    if (!S_ISREG(status.st_mode))
        return refuse(Refusal::NotAFile, QStringLiteral("not a regular file"));
    // A second name may be a hard link to a file its maker could not read.
    if (status.st_nlink != 1)
        return refuse(Refusal::OtherLinks, QStringLiteral("%1 links").arg(status.st_nlink));
    if (status.st_size > kMaxBytes)
        return refuse(Refusal::TooLarge, QStringLiteral("%1 bytes").arg(status.st_size));
    if (afterCheck) afterCheck();

    // The checked file itself, reopened for reading through its descriptor, not by its name.
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(checked.get());
    Fd input(::open(self.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat opened;
    if (!input.valid() || ::fstat(input.get(), &opened) != 0)
        return refuse(Refusal::Unreadable, errorText(errno));
    if (opened.st_dev != status.st_dev || opened.st_ino != status.st_ino)
        return refuse(Refusal::Unreadable, QStringLiteral("not the file that was checked"));

    QString why;
    Fd folderFd(openFolder(why));
    if (!folderFd.valid()) return refuse(Refusal::CopyFailed, why);
    QByteArray sub;
    for (int attempt = 0; attempt < 100 && sub.isEmpty(); ++attempt) {
        const QByteArray candidate =
            "run." + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
        if (::mkdirat(folderFd.get(), candidate.constData(), 0700) == 0) {
            sub = candidate;
        } else if (errno != EEXIST) {
            return refuse(Refusal::CopyFailed, errorText(errno));
        }
    }
    if (sub.isEmpty()) return refuse(Refusal::CopyFailed, QStringLiteral("no free folder name"));
    const QString dir = folder() + QLatin1Char('/') + QString::fromLatin1(sub);
    // Goes with this function on a failure below, taking what was made with it.
    std::shared_ptr<ProgramCopy> copy(new ProgramCopy(dir, dir + QLatin1Char('/') + name));
    Fd subFd(
        ::openat(folderFd.get(), sub.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    Fd output(subFd.valid() ? ::openat(subFd.get(), encoded(name).constData(),
                                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)
                            : -1);
    if (!output.valid() || ::fchmod(output.get(), 0600) != 0)
        return refuse(Refusal::CopyFailed, errorText(errno));

    std::vector<char> buffer(64 * 1024);
    qint64 total = 0;
    for (;;) {
        const ssize_t got = ::read(input.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return refuse(Refusal::Unreadable, errorText(errno));
        if (got == 0) break;
        total += got;
        // It may have grown since it was checked.
        if (total > kMaxBytes)
            return refuse(Refusal::TooLarge, QStringLiteral("more than %1 bytes").arg(kMaxBytes));
        if (!writeAll(output.get(), buffer.data(), static_cast<size_t>(got)))
            return refuse(Refusal::CopyFailed, errorText(errno));
    }
    // No fsync: the interpreter reads the copy through the page cache, and after a crash the
    // copy is only removed; on a disk-backed /run it would hold the request thread for nothing.
    if (::close(output.release()) != 0) return refuse(Refusal::CopyFailed, errorText(errno));
    outcome.copy = std::move(copy);
    return outcome;
}

int ProgramCopy::removeLeftovers() {
    QString why;
    Fd folderFd(openFolder(why));
    if (!folderFd.valid()) {
        daemonLog(QStringLiteral("ERROR: programs cannot be run: ") + why, 0);
        return -1;
    }
    int removed = 0;
    for (const QByteArray& name : namesIn(folderFd.get())) {
        Fd sub(::openat(folderFd.get(), name.constData(),
                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.valid()) {
            for (const QByteArray& inner : namesIn(sub.get())) {
                if (::unlinkat(sub.get(), inner.constData(), 0) != 0)
                    ::unlinkat(sub.get(), inner.constData(), AT_REMOVEDIR);
            }
        }
        if (::unlinkat(folderFd.get(), name.constData(), sub.valid() ? AT_REMOVEDIR : 0) == 0) {
            ++removed;
        } else {
            daemonLog(QStringLiteral("ERROR: cannot remove %1/%2: %3")
                    .arg(FsRoot::robotPath(folder()), QString::fromLocal8Bit(name),
                         errorText(errno)),
                1);
        }
    }
    if (removed > 0)
        daemonLog(QStringLiteral("removed %1 program copies an earlier run left").arg(removed), 2);
    return removed;
}

ProgramCopy::~ProgramCopy() {
    ::unlink(encoded(m_path).constData());
    ::rmdir(encoded(m_dir).constData());
}
