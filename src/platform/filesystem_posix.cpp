#include "platform/filesystem.h"

namespace tivlo::platform {

// Not yet implemented: every call fails.
bool ListDirectory(const std::u16string&, std::vector<DirEntry>*) { return false; }
PathKind GetPathKind(const std::u16string&) { return PathKind::Missing; }
bool PathExists(const std::u16string&) { return false; }
bool MakeDirectory(const std::u16string&) { return false; }
bool IsFixedDisk(const std::u16string&) { return false; }
bool FreeDiskBytes(const std::u16string&, uint64_t*) { return false; }
void SetFixedDiskOverride(FixedDiskOverride) {}
void SetFreeSpaceOverride(FreeSpaceOverride) {}

}  // namespace tivlo::platform
