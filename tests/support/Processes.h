#pragma once

#include <QByteArray>
#include <QList>

namespace testsupport {

/// True while `pid` runs (a zombie counts as gone).
bool processRuns(qint64 pid);
/// The pids listed one per line in `text`.
QList<qint64> pidsIn(const QByteArray& text);

}  // namespace testsupport
