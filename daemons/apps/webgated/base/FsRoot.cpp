#include "base/FsRoot.h"

#include <cstdlib>

namespace FsRoot {

QString prefix() {
    // Read once: the environment must not be consulted again once requests are being served.
    static const QString root = [] {
        QString value = QString::fromLocal8Bit(std::getenv("WEBGATED_ROOT"));
        while (value.endsWith(QLatin1Char('/'))) value.chop(1);
        return value;
    }();
    return root;
}

QString fsPath(const QString& robotPath) {
    if (!robotPath.startsWith(QLatin1Char('/'))) return robotPath;
    return prefix() + robotPath;
}

QString robotPath(const QString& fsPath) {
    const QString root = prefix();
    if (root.isEmpty() || !fsPath.startsWith(root + QLatin1Char('/'))) return fsPath;
    return fsPath.mid(root.size());
}

}  // namespace FsRoot
