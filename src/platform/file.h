// Files, for the sender's reads and the receiver's writes. Paths are the
// library's UTF-16 strings in the platform's own form (see filesystem.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tivlo::platform {

class File {
public:
    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Reading. exclusive: no other handle may be open on the file (where the
    // platform can enforce it); otherwise other readers are allowed.
    bool OpenRead(const std::u16string& path, bool exclusive);
    // Writing an existing file, keeping its contents.
    bool OpenWriteExisting(const std::u16string& path);
    // Creating (or truncating) a file for writing.
    bool Create(const std::u16string& path);

    bool IsOpen() const { return fd_ >= 0; }
    // Takes over an open descriptor (on Windows a C runtime descriptor of a
    // handle), closing the one held; TargetDir opens its files this way.
    void Adopt(int fd) {
        Close();
        fd_ = fd;
    }
    int descriptor() const { return fd_; }
    // Bytes read (0 at the end), -1 on error.
    int64_t Read(void* buffer, size_t length);
    // True when every byte was written.
    bool Write(const void* data, size_t length);
    bool Seek(int64_t offset);
    int64_t Length() const;
    bool Truncate(int64_t length);
    void Close();

private:
    int fd_ = -1;
};

// The length of a file, -1 when it cannot be opened.
int64_t FileLength(const std::u16string& path);

}  // namespace tivlo::platform
