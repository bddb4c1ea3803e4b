#include "programs/ProgramStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include "base/DaemonLog.h"
#include "base/FsRoot.h"
#include "programs/ProgramCopy.h"

namespace {

// Everyone may store programs; the sticky bit lets only an entry's owner (and root) rename or
// delete it, so no one swaps another's program for a link between our check and its use, and
// the kernel's protected_symlinks keeps root from following another user's link there.
constexpr mode_t kStoreMode = S_ISVTX | 0777;

// The store folder itself, never through a link at its own name: a link planted there would
// hand the mode to whatever it points at.
void setStoreMode(const QString& programDir) {
    const int fd = ::open(QFile::encodeName(programDir).constData(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || ::fchmod(fd, kStoreMode) != 0) {
        daemonLog(QStringLiteral("ERROR: Cannot set the mode of ") + FsRoot::robotPath(programDir) +
                QStringLiteral(" (not a folder, or a link): programs may be swapped in it"),
            0);
    }
    if (fd >= 0) ::close(fd);
}

}  // namespace

QString ProgramStore::robotDir() { return QStringLiteral("/var/www/programs"); }

QString ProgramStore::fsDir() { return FsRoot::fsPath(robotDir()); }

void ProgramStore::prepare(const QString& programPath) {
    const QString programDir = FsRoot::fsPath(programPath);
    const QFileInfo programInfo(programDir);
    if (!programInfo.exists()) {
        if (!QDir::root().mkpath(programDir)) {
            daemonLog("ERROR: Cannot Create path " + programPath + " to save flowdesk programs!", 0);
        }
    } else if (!programInfo.isDir()) {
        daemonLog("ERROR: " + programPath + " already exists and is not a folder!", 0);
    }

    const QString link = FsRoot::fsPath(robotDir());
    const QFileInfo linkInfo(link);
    // A dangling link is replaced as well: left alone it would block the new link for good.
    if (linkInfo.exists() || linkInfo.isSymLink()) {
        daemonLog(QStringLiteral("Symbolic /var/www/programs already exists. Will delete it and create a new one."), 0);
        if (!QFile::remove(link)) daemonLog(QStringLiteral("ERROR: Cannot delete symbolic link \"/var/www/programs\""), 0);
    }
    if (!QFile::link(programDir, link)) {
        daemonLog(QStringLiteral("ERROR: Cannot create symbolic link \"/var/www/programs\""), 0);
    }
    if (QFileInfo(programDir).isDir()) setStoreMode(programDir);
    remember();
}

void ProgramStore::remember() {
    // Start-up: copies of programs a killed daemon was running go.
    ProgramCopy::removeLeftovers();
    const QFileInfo store(fsDir());
    m_canonicalPath = store.isDir() ? store.canonicalFilePath() : QString();
}

bool ProgramStore::isIntact() const {
    const QFileInfo store(fsDir());
    return !m_canonicalPath.isEmpty() && store.isDir() &&
           store.canonicalFilePath() == m_canonicalPath;
}

bool ProgramStore::isValidFileName(const QString& name) {
    // Anchored at the very end: a plain "$" would also accept a trailing line feed.
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[_a-zA-Z0-9\\-\\.]+")));
    // "." and ".." name directories; no file name is longer than 255 bytes.
    return pattern.match(name).hasMatch() && name != QLatin1String(".") &&
           name != QLatin1String("..") && name.size() <= 255;
}
