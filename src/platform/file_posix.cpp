// 64-bit offsets also on 32-bit systems.
#define _FILE_OFFSET_BITS 64

#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/os_detail.h"
#include "platform/system.h"

namespace tivlo::platform {

namespace {

int OpenPath(const std::u16string& path, int flags, mode_t mode = 0) {
    std::string utf8 = Utf16ToUtf8(path);
    if (utf8.empty()) {
        return -1;
    }
    int fd;
    do {
        fd = ::open(utf8.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

namespace detail {

int64_t ReadChunk(int fd, void* buffer, size_t length) {
    ssize_t n;
    do {
        n = ::read(fd, buffer, length);
    } while (n < 0 && errno == EINTR);
    return n;
}

int64_t WriteChunk(int fd, const void* data, size_t length) {
    ssize_t n;
    do {
        n = ::write(fd, data, length);
    } while (n < 0 && errno == EINTR);
    return n;
}

}  // namespace detail

// Linux has no mandatory sharing modes, so an exclusive read cannot keep
// other handles out; it opens like a shared read.
bool File::OpenRead(const std::u16string& path, bool exclusive) {
    (void)exclusive;
    Close();
    fd_ = OpenPath(path, O_RDONLY);
    return fd_ >= 0;
}

bool File::OpenWriteExisting(const std::u16string& path) {
    Close();
    fd_ = OpenPath(path, O_WRONLY);
    return fd_ >= 0;
}

bool File::Create(const std::u16string& path) {
    Close();
    fd_ = OpenPath(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    return fd_ >= 0;
}

bool File::Seek(int64_t offset) {
    if (fd_ < 0 || offset < 0) {
        return false;
    }
    return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

int64_t File::Length() const {
    if (fd_ < 0) {
        return -1;
    }
    struct stat st;
    if (::fstat(fd_, &st) != 0) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

bool File::Truncate(int64_t length) {
    if (fd_ < 0 || length < 0) {
        return false;
    }
    int rc;
    do {
        rc = ::ftruncate(fd_, static_cast<off_t>(length));
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

void File::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace tivlo::platform
