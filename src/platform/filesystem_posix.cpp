// 64-bit sizes also on 32-bit systems.
#define _FILE_OFFSET_BITS 64

#include "platform/filesystem.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/os_detail.h"
#include "platform/system.h"

namespace tivlo::platform {

namespace {

DirEntry::Kind KindOfMode(mode_t mode) {
    if (S_ISREG(mode)) {
        return DirEntry::File;
    }
    if (S_ISDIR(mode)) {
        return DirEntry::Directory;
    }
    return DirEntry::Other;
}

// The path itself when it exists, else its nearest existing ancestor; ""
// when none exists.
std::string NearestExisting(std::string path) {
    for (;;) {
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) {
            return path;
        }
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
        size_t slash = path.rfind('/');
        if (slash == std::string::npos) {
            return path.empty() ? std::string() : std::string(".");
        }
        if (slash == 0 && path.size() == 1) {
            return std::string();  // not even the root
        }
        path.resize(slash == 0 ? 1 : slash);  // keep the root's own slash
    }
}

// Magic numbers of statfs(2).
constexpr unsigned long kExt = 0xEF53;
constexpr unsigned long kXfs = 0x58465342;
constexpr unsigned long kBtrfs = 0x9123683E;
constexpr unsigned long kF2fs = 0xF2F52010;
constexpr unsigned long kZfs = 0x2FC12FC1;
constexpr unsigned long kOverlay = 0x794C7630;
constexpr unsigned long kMsdos = 0x4D44;
constexpr unsigned long kExfat = 0x2011BAB0;
constexpr unsigned long kNtfs = 0x5346544E;  // ntfs and ntfs3
constexpr unsigned long kFuse = 0x65735546;

bool ReadFlag(const std::string& file, bool* value) {
    std::ifstream in(file);
    int v = 0;
    if (!(in >> v)) {
        return false;
    }
    *value = v != 0;
    return true;
}

// A block device that says it is removable (a partition asks its disk).
bool BlockDeviceRemovable(dev_t dev) {
    char base[64];
    std::snprintf(base, sizeof base, "/sys/dev/block/%u:%u", major(dev), minor(dev));
    bool removable = false;
    if (ReadFlag(std::string(base) + "/removable", &removable) ||
        ReadFlag(std::string(base) + "/../removable", &removable)) {
        return removable;
    }
    return false;  // no such information: a virtual or fixed disk
}

// The mount holding the device, from mountinfo: its type and source.
bool MountOfDevice(dev_t dev, std::string* fsType, std::string* source) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    char want[32];
    std::snprintf(want, sizeof want, "%u:%u", major(dev), minor(dev));
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, devField;
        fields >> id >> parent >> devField;
        if (devField != want) {
            continue;
        }
        size_t dash = line.find(" - ");
        if (dash == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(dash + 3));
        rest >> *fsType >> *source;
        return true;
    }
    return false;
}

}  // namespace

namespace detail {

bool RealIsFixedDisk(const std::u16string& path) {
    if (path.empty() || path[0] != u'/') {
        return false;
    }
    std::string existing = NearestExisting(Utf16ToUtf8(path));
    if (existing.empty()) {
        return false;
    }
    struct statfs fs;
    struct stat st;
    if (::statfs(existing.c_str(), &fs) != 0 || ::stat(existing.c_str(), &st) != 0) {
        return false;
    }
    const auto type = static_cast<unsigned long>(fs.f_type) & 0xFFFFFFFFUL;
    switch (type) {
        case kExt:
        case kXfs:
        case kBtrfs:
        case kF2fs:
        case kZfs:
        case kMsdos:
        case kExfat:
        case kNtfs:
            // A stick or card holds these as well; btrfs and zfs report a
            // device of their own, which then has no removable flag.
            return !BlockDeviceRemovable(st.st_dev);
        case kOverlay:
            return true;
        case kFuse: {
            // FUSE also carries sshfs and the like; only a block-backed
            // mount (ntfs-3g, exfat-fuse) is a disk.
            std::string fsType, source;
            if (!MountOfDevice(st.st_dev, &fsType, &source) || fsType != "fuseblk") {
                return false;
            }
            struct stat devSt;
            if (::stat(source.c_str(), &devSt) != 0 || !S_ISBLK(devSt.st_mode)) {
                return false;
            }
            return !BlockDeviceRemovable(devSt.st_rdev);
        }
        default:
            return false;  // network, memory, optical, pseudo file systems
    }
}

bool RealFreeDiskBytes(const std::u16string& path, uint64_t* freeBytes) {
    std::string existing = NearestExisting(Utf16ToUtf8(path));
    if (existing.empty()) {
        return false;
    }
    struct statvfs vfs;
    if (::statvfs(existing.c_str(), &vfs) != 0) {
        return false;
    }
    *freeBytes = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
    return true;
}

}  // namespace detail

bool ListDirectory(const std::u16string& dir, std::vector<DirEntry>* entries) {
    std::string base = Utf16ToUtf8(dir);
    if (base.empty()) {
        return false;
    }
    DIR* d = ::opendir(base.c_str());
    if (d == nullptr) {
        return false;
    }
    if (base.back() != '/') {
        base.push_back('/');
    }
    entries->clear();
    for (;;) {
        errno = 0;
        dirent* e = ::readdir(d);
        if (e == nullptr) {
            break;
        }
        const char* name = e->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
            continue;
        }
        DirEntry entry;
        entry.name = Utf8ToUtf16(name);
        struct stat st;
        std::string full = base + name;
        if (::lstat(full.c_str(), &st) != 0) {
            continue;  // gone meanwhile
        }
        if (S_ISLNK(st.st_mode)) {
            // A link to a file is its file; a link to a directory is never
            // walked, so it counts as neither.
            struct stat target;
            entry.kind = ::stat(full.c_str(), &target) == 0 && S_ISREG(target.st_mode)
                             ? DirEntry::File
                             : DirEntry::Other;
        } else {
            entry.kind = KindOfMode(st.st_mode);
        }
        entries->push_back(std::move(entry));
    }
    bool ok = errno == 0;
    ::closedir(d);
    return ok;
}

PathKind GetPathKind(const std::u16string& path) {
    std::string utf8 = Utf16ToUtf8(path);
    struct stat st;
    if (utf8.empty() || ::stat(utf8.c_str(), &st) != 0) {
        return PathKind::Missing;
    }
    if (S_ISREG(st.st_mode)) {
        return PathKind::File;
    }
    if (S_ISDIR(st.st_mode)) {
        return PathKind::Directory;
    }
    return PathKind::Other;
}

bool MakeDirectory(const std::u16string& path) {
    std::string utf8 = Utf16ToUtf8(path);
    return !utf8.empty() && ::mkdir(utf8.c_str(), 0755) == 0;
}

}  // namespace tivlo::platform
