#pragma once

#include <QtGlobal>
#include <functional>

namespace testsupport {

/// Runs the calling thread's Qt event loop until `done` returns true or `timeoutMs` passes.
/// Returns the last value of `done`.
bool waitFor(const std::function<bool()>& done, int timeoutMs = 10000);

}  // namespace testsupport
