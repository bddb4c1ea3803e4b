#include "programs/ProgramStore.h"

#include <sys/stat.h>

#include <QFile>
#include <QRegularExpression>

#include "frame/FsRoot.h"

QString ProgramStore::robotDir() { return QStringLiteral("/var/www/programs"); }

QString ProgramStore::fsDir() { return FsRoot::fsPath(robotDir()); }

void ProgramStore::remember() {
    struct stat info {};
    m_known = ::stat(QFile::encodeName(fsDir()).constData(), &info) == 0 && S_ISDIR(info.st_mode);
    m_device = info.st_dev;
    m_inode = info.st_ino;
}

bool ProgramStore::isIntact() const {
    struct stat info {};
    if (!m_known || ::stat(QFile::encodeName(fsDir()).constData(), &info) != 0) return false;
    return S_ISDIR(info.st_mode) && info.st_dev == m_device && info.st_ino == m_inode;
}

bool ProgramStore::isValidFileName(const QString& name) {
    // Anchored at the very end: a plain "$" would also accept a trailing line feed.
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[_a-zA-Z0-9\\-\\.]+")));
    // "." and ".." name directories; no file name is longer than 255 bytes.
    return pattern.match(name).hasMatch() && name != QLatin1String(".") &&
           name != QLatin1String("..") && name.size() <= 255;
}
