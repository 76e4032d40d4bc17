#include "platform/file.h"

namespace tivlo::platform {

// Not yet implemented: every call fails.
File::~File() { Close(); }
bool File::OpenRead(const std::u16string&, bool) { return false; }
bool File::OpenWriteExisting(const std::u16string&) { return false; }
bool File::Create(const std::u16string&) { return false; }
int64_t File::Read(void*, size_t) { return -1; }
bool File::Write(const void*, size_t) { return false; }
bool File::Seek(int64_t) { return false; }
int64_t File::Length() const { return -1; }
bool File::Truncate(int64_t) { return false; }
void File::Close() { fd_ = -1; }
int64_t FileLength(const std::u16string&) { return -1; }

}  // namespace tivlo::platform
