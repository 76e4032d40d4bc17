// The operating-system parts of the portable facilities (sync.cpp, log.cpp,
// filesystem.cpp, file.cpp), one implementation file per system:
// thread_<os>.cpp, log_<os>.cpp, filesystem_<os>.cpp and file_<os>.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tivlo::platform::detail {

// Raises the calling thread's priority one step, as far as the system lets
// the process; failures are ignored.
void RaiseCurrentThreadPriority();

// Where log lines go without a host sink. False when they go nowhere (on
// POSIX: TIVLO_DEBUG unset, read once).
bool DebugOutputEnabled();
void WriteDebugOutput(const std::u16string& line);
// Portable pieces the systems' debug output is made of (log.cpp): whether
// TIVLO_DEBUG is set (read once), and a line to standard error as UTF-8,
// given its line feed when it has none.
bool DebugVariableSet();
void WriteStandardError(const std::u16string& line);

// The drive-type and free-space queries of the system, which IsFixedDisk and
// FreeDiskBytes ask unless a test has replaced them.
bool RealIsFixedDisk(const std::u16string& path);
bool RealFreeDiskBytes(const std::u16string& path, uint64_t* freeBytes);

// One read or write on a File's descriptor, retried when a signal cuts it
// short: bytes moved, 0 at the end of the file (or nothing written), -1 on
// error. It may move fewer bytes than asked for.
int64_t ReadChunk(int fd, void* buffer, size_t length);
int64_t WriteChunk(int fd, const void* data, size_t length);

// A TargetDir's relative name in components (target_dir.cpp): empty and "."
// components dropped; false for "..", a NUL, and on Windows ':' or a
// component of dots and blanks only.
bool SplitTargetName(const std::u16string& relative, std::vector<std::u16string>* parts);
// A fresh hidden name for a replacement file, unlikely to exist.
std::u16string ReplacementName();
// The log line of a name refused below a target root.
void LogRefusedName(const std::u16string& relative, const char* why);

}  // namespace tivlo::platform::detail
