// Directories, drive type and free space on Windows. The drive of a path is
// its first three characters (C:\); the free space comes from
// GetDiskFreeSpaceExW, looked up at run time, with GetDiskFreeSpaceW as the
// fallback of systems without it.
#include "platform/filesystem.h"

#include <windows.h>

#include <mutex>

#include "platform/clock.h"
#include "platform/filesystem_win32_detail.h"
#include "platform/log.h"
#include "platform/os_detail.h"
#include "platform/system.h"

namespace tivlo::platform {

namespace {

std::mutex g_extendedNameMutex;
const char* g_extendedName = nullptr;  // test hook: another name to look up

std::wstring Wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring DriveOf(const std::u16string& path) { return Wide(path.substr(0, 3)); }

using FreeSpaceExW = BOOL(WINAPI*)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
using FreeSpaceExA = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);

// The extended query by name, in the character set of the system: the
// wide variant on the NT family. Three tries, 200 ms apart.
FARPROC LookUpExtendedQuery(bool wide) {
    const char* name = wide ? "GetDiskFreeSpaceExW" : "GetDiskFreeSpaceExA";
    {
        std::lock_guard<std::mutex> lock(g_extendedNameMutex);
        if (g_extendedName != nullptr) {
            name = g_extendedName;
        }
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
        FARPROC fn = kernel != nullptr ? ::GetProcAddress(kernel, name) : nullptr;
        if (fn != nullptr) {
            return fn;
        }
        SleepMs(200);
    }
    return nullptr;
}

}  // namespace

namespace detail {

bool RealIsFixedDisk(const std::u16string& path) {
    if (path.empty()) {
        return false;
    }
    return ::GetDriveTypeW(DriveOf(path).c_str()) == DRIVE_FIXED;
}

bool RealFreeDiskBytes(const std::u16string& path, uint64_t* freeBytes) {
    const std::u16string drive = path.substr(0, 3);
    const bool wide = IsNtFamily() == 1;
    if (FARPROC fn = LookUpExtendedQuery(wide)) {
        ULARGE_INTEGER available{}, total{}, totalFree{};
        BOOL ok;
        if (wide) {
            ok = reinterpret_cast<FreeSpaceExW>(reinterpret_cast<void*>(fn))(Wide(drive).c_str(), &available, &total,
                                                                              &totalFree);
        } else {
            const std::string narrow = Utf16ToAnsi(drive);
            ok = reinterpret_cast<FreeSpaceExA>(reinterpret_cast<void*>(fn))(narrow.c_str(), &available, &total,
                                                                              &totalFree);
        }
        if (!ok) {
            return false;
        }
        *freeBytes = available.QuadPart;
        return true;
    }
    // The fallback measures in 32 bits: the product wraps at 4 GiB.
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (!::GetDiskFreeSpaceW(Wide(drive).c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                             &totalClusters)) {
        Log("\nTivlo-----GetDiskFreeSpace false\n");
        return false;
    }
    const uint32_t product = static_cast<uint32_t>(freeClusters) * static_cast<uint32_t>(bytesPerSector) *
                             static_cast<uint32_t>(sectorsPerCluster);
    *freeBytes = product;
    return true;
}

}  // namespace detail

bool ListDirectory(const std::u16string& dir, std::vector<DirEntry>* entries) {
    if (dir.empty()) {
        return false;
    }
    std::u16string pattern = dir;
    if (pattern.back() != u'\\' && pattern.back() != u'/') {
        pattern.push_back(u'\\');
    }
    pattern.push_back(u'*');
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW(Wide(pattern).c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) {
        return false;
    }
    entries->clear();
    do {
        const wchar_t* name = found.cFileName;
        if (name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'))) {
            continue;
        }
        DirEntry entry;
        entry.name.assign(name, name + wcslen(name));
        const DWORD attributes = found.dwFileAttributes;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            // A junction or a link to a directory is never walked.
            entry.kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? DirEntry::Other : DirEntry::Directory;
        } else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
            entry.kind = DirEntry::Other;
        } else {
            entry.kind = DirEntry::File;
        }
        entries->push_back(std::move(entry));
    } while (::FindNextFileW(find, &found));
    const bool ok = ::GetLastError() == ERROR_NO_MORE_FILES;
    ::FindClose(find);
    return ok;
}

PathKind GetPathKind(const std::u16string& path) {
    if (path.empty()) {
        return PathKind::Missing;
    }
    const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return PathKind::Missing;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return PathKind::Directory;
    }
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        return PathKind::Other;
    }
    return PathKind::File;
}

bool MakeDirectory(const std::u16string& path) {
    return !path.empty() && ::CreateDirectoryW(Wide(path).c_str(), nullptr) != 0;
}

namespace detail {

void SetExtendedFreeSpaceName(const char* name) {
    std::lock_guard<std::mutex> lock(g_extendedNameMutex);
    g_extendedName = name;
}

}  // namespace detail

}  // namespace tivlo::platform
