#pragma once

#include <functional>

namespace testsupport {

/// Runs the calling thread's Qt event loop until `done` returns true or `timeoutMs` passes.
/// Returns the last value of `done`.
bool waitFor(const std::function<bool()>& done, int timeoutMs = 10000);

/// Runs the calling thread's Qt event loop for `ms` milliseconds (for "nothing happens" checks).
void spin(int ms);

}  // namespace testsupport
