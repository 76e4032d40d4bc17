// The operating-system parts of the portable facilities (sync.cpp, log.cpp),
// one implementation file per system: thread_<os>.cpp and log_<os>.cpp.
#pragma once

#include <string>

namespace tivlo::platform::detail {

// Raises the calling thread's priority one step, as far as the system lets
// the process; failures are ignored.
void RaiseCurrentThreadPriority();

// A log line when the host set no sink: the system's debug output, if it
// has one, and standard error as UTF-8 when TIVLO_DEBUG is set (read once).
// utf8 is the line as the caller wrote it, when it came as UTF-8.
void WriteDebugOutput(const std::u16string& text, const std::string* utf8);

}  // namespace tivlo::platform::detail
