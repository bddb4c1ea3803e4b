#include "programs/ProgramStore.h"

#include <QFileInfo>
#include <QRegularExpression>

#include "base/FsRoot.h"
#include "programs/ProgramCopy.h"

QString ProgramStore::robotDir() { return QStringLiteral("/var/www/programs"); }

QString ProgramStore::fsDir() { return FsRoot::fsPath(robotDir()); }

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
