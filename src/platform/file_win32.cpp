// Files through CreateFileW with the sharing modes of the library's uses:
// an exclusive read and every write admit no other handle (and fail while
// one is open); a streaming read lets others read but not write. The handle
// is kept as a C runtime descriptor (_open_osfhandle), so File holds a plain
// int on every platform.
#include "platform/file.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>

#include "platform/os_detail.h"

namespace tivlo::platform {

namespace {

std::wstring Wide(const std::u16string& path) { return std::wstring(path.begin(), path.end()); }

int OpenHandle(const std::u16string& path, DWORD access, DWORD share, DWORD disposition, int crtFlags) {
    if (path.empty()) {
        return -1;
    }
    HANDLE h = ::CreateFileW(Wide(path).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), crtFlags | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(h);
    }
    return fd;
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

}  // namespace

namespace detail {

// At most 1 GiB a call: the lengths are 32-bit.
int64_t ReadChunk(int fd, void* buffer, size_t length) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(HandleOf(fd), buffer, chunk, &got, nullptr)) {
        return -1;
    }
    return got;
}

int64_t WriteChunk(int fd, const void* data, size_t length) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(HandleOf(fd), data, chunk, &written, nullptr)) {
        return -1;
    }
    return written;
}

}  // namespace detail

bool File::OpenRead(const std::u16string& path, bool exclusive) {
    Close();
    fd_ = OpenHandle(path, GENERIC_READ, exclusive ? 0 : FILE_SHARE_READ, OPEN_EXISTING, _O_RDONLY);
    return fd_ >= 0;
}

bool File::OpenWriteExisting(const std::u16string& path) {
    Close();
    fd_ = OpenHandle(path, GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    return fd_ >= 0;
}

bool File::Create(const std::u16string& path) {
    Close();
    fd_ = OpenHandle(path, GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
    return fd_ >= 0;
}

bool File::Seek(int64_t offset) {
    if (fd_ < 0 || offset < 0) {
        return false;
    }
    LARGE_INTEGER to;
    to.QuadPart = offset;
    return ::SetFilePointerEx(HandleOf(fd_), to, nullptr, FILE_BEGIN) != 0;
}

int64_t File::Length() const {
    if (fd_ < 0) {
        return -1;
    }
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(HandleOf(fd_), &size)) {
        return -1;
    }
    return size.QuadPart;
}

bool File::Truncate(int64_t length) {
    if (fd_ < 0 || length < 0) {
        return false;
    }
    HANDLE h = HandleOf(fd_);
    LARGE_INTEGER here{};
    LARGE_INTEGER zero{};
    if (!::SetFilePointerEx(h, zero, &here, FILE_CURRENT)) {
        return false;
    }
    LARGE_INTEGER to;
    to.QuadPart = length;
    bool ok = ::SetFilePointerEx(h, to, nullptr, FILE_BEGIN) && ::SetEndOfFile(h);
    // The position stays where it was, as ftruncate leaves it.
    ::SetFilePointerEx(h, here, nullptr, FILE_BEGIN);
    return ok;
}

void File::Close() {
    if (fd_ >= 0) {
        ::_close(fd_);  // closes the handle too
        fd_ = -1;
    }
}

}  // namespace tivlo::platform
