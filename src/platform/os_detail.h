// The operating-system parts of the portable facilities (sync.cpp, log.cpp),
// one implementation file per system: thread_<os>.cpp and log_<os>.cpp.
#pragma once

#include <string>

namespace tivlo::platform::detail {

// Raises the calling thread's priority one step, as far as the system lets
// the process; failures are ignored.
void RaiseCurrentThreadPriority();

// Where log lines go without a host sink. False when they go nowhere (on
// POSIX: TIVLO_DEBUG unset, read once).
bool DebugOutputEnabled();
void WriteDebugOutput(const std::u16string& line);

}  // namespace tivlo::platform::detail
