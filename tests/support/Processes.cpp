#include "Processes.h"

#include <QFile>

namespace testsupport {

bool processRuns(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return false;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close >= 0 && text.mid(close + 2, 1) != "Z";
}

QList<qint64> pidsIn(const QByteArray& text) {
    QList<qint64> pids;
    for (const QByteArray& line : text.split('\n')) {
        bool ok = false;
        const qint64 pid = line.trimmed().toLongLong(&ok);
        if (ok) pids.append(pid);
    }
    return pids;
}

}  // namespace testsupport
