#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <functional>

namespace testsupport {

/// Runs the calling thread's Qt event loop until `done` returns true or `timeoutMs` passes.
/// Returns the last value of `done`.
bool waitFor(const std::function<bool()>& done, int timeoutMs = 10000);

/// True while a thread named `threadName` of process `pid` (0: this process) is blocked in
/// read(), as /proc shows it: the marker that it waits for a peer.
bool threadBlockedInRead(qint64 pid, const QByteArray& threadName);

}  // namespace testsupport
