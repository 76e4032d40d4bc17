// The system-independent part of File: reads that fill the buffer unless the
// file ends first, and writes of every byte, out of the single transfers
// that file_<os>.cpp makes.
#include "platform/file.h"

#include "platform/os_detail.h"

namespace tivlo::platform {

File::~File() { Close(); }

int64_t File::Read(void* buffer, size_t length) {
    if (fd_ < 0) {
        return -1;
    }
    // Fills the buffer unless the file ends first, as one read of a
    // Windows file would, also where a system read stops short.
    auto* out = static_cast<char*>(buffer);
    size_t total = 0;
    while (total < length) {
        const int64_t n = detail::ReadChunk(fd_, out + total, length - total);
        if (n < 0) {
            return total > 0 ? static_cast<int64_t>(total) : -1;
        }
        if (n == 0) {
            break;
        }
        total += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(total);
}

bool File::Write(const void* data, size_t length) {
    if (fd_ < 0) {
        return false;
    }
    const auto* in = static_cast<const char*>(data);
    size_t total = 0;
    while (total < length) {
        const int64_t n = detail::WriteChunk(fd_, in + total, length - total);
        if (n <= 0) {
            return false;
        }
        total += static_cast<size_t>(n);
    }
    return true;
}

int64_t FileLength(const std::u16string& path) {
    File f;
    if (!f.OpenRead(path, false)) {
        return -1;
    }
    return f.Length();
}

}  // namespace tivlo::platform
