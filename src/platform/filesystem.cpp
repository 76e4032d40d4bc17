// The system-independent part of the file-system layer: the test hooks in
// front of the drive-type and free-space queries, which filesystem_<os>.cpp
// answers.
#include "platform/filesystem.h"

#include <mutex>

#include "platform/os_detail.h"

namespace tivlo::platform {

namespace {

std::mutex g_overrideMutex;
FixedDiskOverride g_fixedOverride;
FreeSpaceOverride g_freeOverride;

}  // namespace

bool PathExists(const std::u16string& path) { return GetPathKind(path) != PathKind::Missing; }

bool IsFixedDisk(const std::u16string& path) {
    FixedDiskOverride hook;
    {
        std::lock_guard<std::mutex> lock(g_overrideMutex);
        hook = g_fixedOverride;
    }
    return hook ? hook(path) : detail::RealIsFixedDisk(path);
}

bool FreeDiskBytes(const std::u16string& path, uint64_t* freeBytes) {
    if (freeBytes == nullptr) {
        return false;
    }
    FreeSpaceOverride hook;
    {
        std::lock_guard<std::mutex> lock(g_overrideMutex);
        hook = g_freeOverride;
    }
    return hook ? hook(path, freeBytes) : detail::RealFreeDiskBytes(path, freeBytes);
}

void SetFixedDiskOverride(FixedDiskOverride fn) {
    std::lock_guard<std::mutex> lock(g_overrideMutex);
    g_fixedOverride = std::move(fn);
}

void SetFreeSpaceOverride(FreeSpaceOverride fn) {
    std::lock_guard<std::mutex> lock(g_overrideMutex);
    g_freeOverride = std::move(fn);
}

}  // namespace tivlo::platform
