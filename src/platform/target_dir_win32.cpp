// TargetDir on Windows: every name is opened relative to the handle of the
// directory above it (NtCreateFile with a root directory, the system's
// openat) with FILE_OPEN_REPARSE_POINT, so a junction or symbolic link below
// the root is opened as itself, seen by its attribute and refused. Names
// are taken literally there: no "..", no device names (NUL, COM1), no
// trimming of trailing dots. A replacement is renamed over the old name
// through its own handle, relative to the directory's handle.
#include <windows.h>
#include <winternl.h>
#include <fcntl.h>
#include <io.h>

#include <vector>

#include "platform/filesystem.h"
#include "platform/os_detail.h"
#include "platform/target_dir.h"

namespace tivlo::platform {

namespace {

constexpr NTSTATUS kNotADirectory = static_cast<NTSTATUS>(0xC0000103);
constexpr NTSTATUS kFileIsADirectory = static_cast<NTSTATUS>(0xC00000BA);
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE OpenBelow(HANDLE parent, const std::u16string& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                 ULONG options, ULONG attributes, NTSTATUS* status) {
    UNICODE_STRING text;
    text.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(name.data()));
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(char16_t));
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    *status = ::NtCreateFile(&handle, access | SYNCHRONIZE, &object, &io, nullptr, attributes, share, disposition,
                             options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return NT_SUCCESS(*status) ? handle : INVALID_HANDLE_VALUE;
}

// A directory or regular file on a disk, not a reparse point: asked of the
// handle, and of the path too, since Wine opens a Unix link's target even
// with FILE_OPEN_REPARSE_POINT and shows the link only by its path.
bool PlainOnDisk(HANDLE handle, const std::u16string& path, bool directory, BY_HANDLE_FILE_INFORMATION* info) {
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, info)) return false;
    DWORD byPath = ::GetFileAttributesW(std::wstring(path.begin(), path.end()).c_str());
    if (byPath == INVALID_FILE_ATTRIBUTES) byPath = 0;  // too long a path: the handle tells
    const DWORD attributes = info->dwFileAttributes | byPath;
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && (attributes & FILE_ATTRIBUTE_DEVICE) == 0 &&
           ((info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == directory;
}

// The directory holding parts[0..count) below root, made as needed, as a
// new handle; INVALID_HANDLE_VALUE when a component is something else.
// path: the root's path, made the directory's.
HANDLE WalkDirectories(HANDLE root, std::u16string* path, const std::u16string& relative,
                       const std::vector<std::u16string>& parts, size_t count) {
    HANDLE current = INVALID_HANDLE_VALUE;
    if (!::DuplicateHandle(::GetCurrentProcess(), root, ::GetCurrentProcess(), &current, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        return INVALID_HANDLE_VALUE;
    }
    for (size_t i = 0; i < count; ++i) {
        NTSTATUS status;
        HANDLE next = OpenBelow(current, parts[i], FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE |
                                                       FILE_ADD_SUBDIRECTORY | FILE_READ_ATTRIBUTES,
                                kShareAll, FILE_OPEN_IF, FILE_DIRECTORY_FILE, FILE_ATTRIBUTE_NORMAL, &status);
        *path += u'\\' + parts[i];
        BY_HANDLE_FILE_INFORMATION info;
        if (next != INVALID_HANDLE_VALUE && !PlainOnDisk(next, *path, true, &info)) {
            ::CloseHandle(next);
            next = INVALID_HANDLE_VALUE;
            status = kNotADirectory;
        }
        ::CloseHandle(current);
        if (next == INVALID_HANDLE_VALUE) {
            if (status == kNotADirectory) detail::LogRefusedName(relative, "a junction, link or other non-directory");
            return INVALID_HANDLE_VALUE;
        }
        current = next;
    }
    return current;
}

HANDLE HandleOf(const File& file) { return reinterpret_cast<HANDLE>(::_get_osfhandle(file.descriptor())); }

}  // namespace

bool TargetDir::Open(const std::u16string& root, bool makeMissing) {
    Close();
    if (root.empty()) return false;
    if (makeMissing) {
        // Failures (it exists, the drive, a bad name) show at the open.
        const std::u16string full = root + u'\\';
        for (size_t i = 3; i < full.size(); ++i)
            if (full[i] == u'\\' || full[i] == u'/') (void)MakeDirectory(full.substr(0, i + 1));
    }
    // Links in the root's own path are followed: the operator chose it.
    const std::wstring wide(root.begin(), root.end());
    HANDLE handle = ::CreateFileW(wide.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE |
                                                    FILE_ADD_SUBDIRECTORY | FILE_READ_ATTRIBUTES,
                                  kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(handle, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ::CloseHandle(handle);
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(handle);
    root_ = root;
    while (!root_.empty() && (root_.back() == u'\\' || root_.back() == u'/')) root_.pop_back();
    return true;
}

void TargetDir::Close() {
    if (IsOpen()) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
}

bool TargetDir::MakeDirectories(const std::u16string& relative) {
    std::vector<std::u16string> parts;
    if (!IsOpen()) return false;
    if (!detail::SplitTargetName(relative, &parts)) {
        detail::LogRefusedName(relative, "a name that climbs");
        return false;
    }
    std::u16string path = root_;
    HANDLE dir = WalkDirectories(reinterpret_cast<HANDLE>(handle_), &path, relative, parts, parts.size());
    if (dir == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(dir);
    return true;
}

bool TargetDir::OpenFile(const std::u16string& relative, TargetFile* out) {
    out->Discard();
    std::vector<std::u16string> parts;
    if (!IsOpen()) return false;
    if (!detail::SplitTargetName(relative, &parts) || parts.empty()) {
        detail::LogRefusedName(relative, "a name that climbs or names no file");
        return false;
    }
    std::u16string path = root_;
    HANDLE dir = WalkDirectories(reinterpret_cast<HANDLE>(handle_), &path, relative, parts, parts.size() - 1);
    if (dir == INVALID_HANDLE_VALUE) return false;
    // No sharing, as File's writes: the file is the writer's alone.
    NTSTATUS status;
    HANDLE handle = OpenBelow(dir, parts.back(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, FILE_OPEN_IF,
                              FILE_NON_DIRECTORY_FILE, FILE_ATTRIBUTE_NORMAL, &status);
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !PlainOnDisk(handle, path + u'\\' + parts.back(), false, &info)) {
        if (handle != INVALID_HANDLE_VALUE || status == kFileIsADirectory) {
            detail::LogRefusedName(relative, "a junction, link, device or directory");
        }
        if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
        ::CloseHandle(dir);
        return false;
    }
    std::u16string temporary;
    if (info.nNumberOfLinks > 1) {
        // Another name of the file may lie outside the root: write beside it.
        ::CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
        for (int attempt = 0; attempt < 8 && handle == INVALID_HANDLE_VALUE; ++attempt) {
            temporary = detail::ReplacementName();
            handle = OpenBelow(dir, temporary, GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, 0, FILE_CREATE,
                               FILE_NON_DIRECTORY_FILE, FILE_ATTRIBUTE_HIDDEN, &status);
        }
    }
    const int fd = handle == INVALID_HANDLE_VALUE ? -1
                                                  : ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    if (fd < 0) {
        if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
        ::CloseHandle(dir);
        return false;
    }
    out->file_.Adopt(fd);
    out->failed_ = false;
    if (temporary.empty()) {
        ::CloseHandle(dir);
    } else {
        out->dir_ = reinterpret_cast<intptr_t>(dir);
        out->name_ = parts.back();
        out->temporary_ = temporary;
    }
    return true;
}

bool TargetFile::Close() {
    if (!IsOpen()) return false;
    bool ok = !failed_;
    if (!temporary_.empty() && ok) {
        HANDLE handle = HandleOf(file_);
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // no longer hidden
        const size_t size = sizeof(FILE_RENAME_INFO) + name_.size() * sizeof(char16_t);
        std::vector<char> buffer(size, 0);
        auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        rename->ReplaceIfExists = TRUE;
        rename->RootDirectory = reinterpret_cast<HANDLE>(dir_);
        rename->FileNameLength = static_cast<DWORD>(name_.size() * sizeof(char16_t));
        std::copy(name_.begin(), name_.end(), rename->FileName);
        IO_STATUS_BLOCK io{};
        ok = ::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) &&
             NT_SUCCESS(::NtSetInformationFile(handle, &io, rename, static_cast<ULONG>(size),
                                               static_cast<FILE_INFORMATION_CLASS>(10)));  // FileRenameInformation
        if (ok) temporary_.clear();
    }
    Discard();
    return ok;
}

void TargetFile::Discard() {
    if (!temporary_.empty() && IsOpen()) {
        FILE_DISPOSITION_INFO remove{TRUE};
        ::SetFileInformationByHandle(HandleOf(file_), FileDispositionInfo, &remove, sizeof remove);
    }
    file_.Close();
    if (dir_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(dir_));
    dir_ = -1;
    temporary_.clear();
    name_.clear();
    failed_ = false;
}

// Windows has no per-thread file-system identity; files get the folder's
// inherited permissions.
WriteIdentity::WriteIdentity(int64_t uid, int64_t gid) {
    (void)uid;
    (void)gid;
}

WriteIdentity::~WriteIdentity() {}

}  // namespace tivlo::platform
