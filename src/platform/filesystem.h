// Directories, attributes, drive type and free space.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/path_rules.h"

namespace tivlo::platform {

struct DirEntry {
    std::u16string name;
    enum Kind { File, Directory, Other } kind = Other;  // Other: sockets, FIFOs, devices
};

// Entries of a directory in the order the platform yields them, without "."
// and "..". Symbolic links to regular files are files; links to directories
// are Other (the walk never follows them). False when the directory cannot
// be read.
bool ListDirectory(const std::u16string& dir, std::vector<DirEntry>* entries);

enum class PathKind { Missing, File, Directory, Other };
PathKind GetPathKind(const std::u16string& path);
bool PathExists(const std::u16string& path);
// Creates one directory; false when it fails (also when it exists).
bool MakeDirectory(const std::u16string& path);

// An absolute path with symbolic links resolved as far as it exists and no
// "." or ".." left (the rest is taken as it reads). False for a path that is
// not absolute or cannot be resolved.
bool NormalizePath(const std::u16string& path, std::u16string* normalized);

// True when the path (or its nearest existing ancestor) lies on a fixed,
// local disk.
bool IsFixedDisk(const std::u16string& path);
// Bytes free for the caller on the file system holding path (or its nearest
// existing ancestor).
bool FreeDiskBytes(const std::u16string& path, uint64_t* freeBytes);

// Test hooks: replace the drive-type and free-space answers for every path.
// Pass nullptr to restore the real queries.
using FixedDiskOverride = std::function<bool(const std::u16string& path)>;
using FreeSpaceOverride = std::function<bool(const std::u16string& path, uint64_t* freeBytes)>;
void SetFixedDiskOverride(FixedDiskOverride fn);
void SetFreeSpaceOverride(FreeSpaceOverride fn);

}  // namespace tivlo::platform
