// TargetDir on POSIX: every name is looked up relative to the descriptor of
// the directory above it (openat, mkdirat, renameat) with O_NOFOLLOW, so a
// link anywhere below the root ends the walk instead of leading out of it.
// A per-component walk rather than openat2(RESOLVE_NO_SYMLINKS): it works on
// every kernel and is needed anyway to make the missing directories.
#define _FILE_OFFSET_BITS 64

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/fsuid.h>
#endif

#include <cerrno>
#include <deque>
#include <vector>

#include "platform/os_detail.h"
#include "platform/system.h"
#include "platform/target_dir.h"

namespace tivlo::platform {

namespace {

// O_PATH needs no read permission and has no side effect on what it opens.
#if defined(O_PATH)
constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;
#endif
constexpr int kWriteFlags = O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
constexpr int kCreateFlags = kWriteFlags | O_CREAT | O_EXCL;

template <typename Call>
int Retry(Call call) {
    int rc;
    do {
        rc = call();
    } while (rc < 0 && errno == EINTR);
    return rc;
}

void CloseFd(int fd) {
    if (fd >= 0) ::close(fd);
}

// The directory `name` in `parent`, made first when missing. -1 with errno
// ENOTDIR when something else has the name (a link included).
int OpenOrMakeDirectory(int parent, const std::string& name) {
    auto open = [&] { return ::openat(parent, name.c_str(), kDirectoryFlags | O_NOFOLLOW); };
    int fd = Retry(open);
    if (fd < 0 && errno == ENOENT) {
        if (::mkdirat(parent, name.c_str(), 0755) != 0 && errno != EEXIST) return -1;
        fd = Retry(open);
    }
    if (fd < 0 && errno == ELOOP) errno = ENOTDIR;
    return fd;
}

// The directory holding parts[0..count) below root, as a new descriptor.
int WalkDirectories(int root, const std::u16string& relative, const std::vector<std::u16string>& parts,
                    size_t count) {
    int current = Retry([&] { return ::fcntl(root, F_DUPFD_CLOEXEC, 0); });
    for (size_t i = 0; i < count && current >= 0; ++i) {
        const int next = OpenOrMakeDirectory(current, Utf16ToUtf8(parts[i]));
        if (next < 0 && errno == ENOTDIR) detail::LogRefusedName(relative, "a link or other non-directory");
        ::close(current);
        current = next;
    }
    return current;
}

}  // namespace

bool TargetDir::Open(const std::u16string& root, bool makeMissing) {
    Close();
    const std::string path = Utf16ToUtf8(root);
    if (path.empty() || path[0] != '/') return false;
    // The path is walked from "/" one name at a time, links resolved by
    // hand, so that the owner of each link is seen.
    std::deque<std::string> names;
    auto prepend = [&names](const std::string& text) {
        std::vector<std::string> parts;
        for (size_t start = 0; start <= text.size();) {
            size_t end = text.find('/', start);
            if (end == std::string::npos) end = text.size();
            if (end > start) parts.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        names.insert(names.begin(), parts.begin(), parts.end());
    };
    prepend(path);
    int fd = Retry([] { return ::open("/", kDirectoryFlags); });
    int64_t linkUid = -1, linkGid = -1;
    int hops = 0;
    struct stat st;
    while (fd >= 0 && !names.empty()) {
        const std::string name = names.front();
        names.pop_front();
        if (name == ".") continue;
        struct stat link;
        if (::fstatat(fd, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode)) {
            char target[4096];
            const ssize_t n = ++hops > 40 ? -1 : ::readlinkat(fd, name.c_str(), target, sizeof target - 1);
            struct stat again;
            // The link read must be the one whose owner was seen.
            if (n <= 0 || ::fstatat(fd, name.c_str(), &again, AT_SYMLINK_NOFOLLOW) != 0 || again.st_ino != link.st_ino ||
                again.st_dev != link.st_dev) {
                CloseFd(fd);
                return false;
            }
            if (link.st_uid != 0 && link.st_uid != ::geteuid()) linkUid = link.st_uid, linkGid = link.st_gid;
            const std::string text(target, size_t(n));
            prepend(text);
            if (text[0] == '/') {
                CloseFd(fd);
                fd = Retry([] { return ::open("/", kDirectoryFlags); });
            }
            continue;
        }
        auto open = [&] { return ::openat(fd, name.c_str(), kDirectoryFlags | O_NOFOLLOW); };
        int next = Retry(open);
        if (next < 0 && errno == ENOENT && makeMissing && name != ".." && ::fstat(fd, &st) == 0) {
            WriteIdentity as(linkUid >= 0 ? linkUid : int64_t(st.st_uid), linkUid >= 0 ? linkGid : int64_t(st.st_gid));
            if (::mkdirat(fd, name.c_str(), 0755) == 0 || errno == EEXIST) next = Retry(open);
        }
        CloseFd(fd);
        fd = next;
    }
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
        CloseFd(fd);
        return false;
    }
    handle_ = fd;
    ownerUid_ = linkUid >= 0 ? linkUid : int64_t(st.st_uid);
    ownerGid_ = linkUid >= 0 ? linkGid : int64_t(st.st_gid);
    return true;
}

void TargetDir::Close() {
    CloseFd(static_cast<int>(handle_));
    handle_ = -1;
    ownerUid_ = ownerGid_ = -1;
}

bool TargetDir::MakeDirectories(const std::u16string& relative) {
    std::vector<std::u16string> parts;
    if (!IsOpen()) return false;
    if (!detail::SplitTargetName(relative, &parts)) {
        detail::LogRefusedName(relative, "a name that climbs");
        return false;
    }
    const int fd = WalkDirectories(static_cast<int>(handle_), relative, parts, parts.size());
    CloseFd(fd);
    return fd >= 0;
}

bool TargetDir::SomeoneElses(int64_t uid) const {
    // This thread's file identity: the folder's owner while writing as the
    // owner, otherwise the process's own.
#ifdef __linux__
    const int64_t writer = int64_t(::setfsuid(static_cast<uid_t>(-1)));
#else
    const int64_t writer = int64_t(::geteuid());
#endif
    return uid != ownerUid_ && uid != writer;
}

bool TargetDir::OpenFile(const std::u16string& relative, TargetFile* out) {
    out->Discard();
    std::vector<std::u16string> parts;
    if (!IsOpen()) return false;
    if (!detail::SplitTargetName(relative, &parts) || parts.empty()) {
        detail::LogRefusedName(relative, "a name that climbs or names no file");
        return false;
    }
    const int dir = WalkDirectories(static_cast<int>(handle_), relative, parts, parts.size() - 1);
    if (dir < 0) return false;
    const std::string leaf = Utf16ToUtf8(parts.back());

    // O_NONBLOCK: a FIFO without a reader fails at once (ENXIO) instead of
    // holding the writer; one with a reader is caught by fstat.
    int fd = Retry([&] { return ::openat(dir, leaf.c_str(), kWriteFlags | O_NONBLOCK); });
    if (fd < 0 && errno == ENOENT) {
        fd = Retry([&] { return ::openat(dir, leaf.c_str(), kCreateFlags, 0644); });
    }
    struct stat st;
    bool replace = false;
    if (fd >= 0) {
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            detail::LogRefusedName(relative, "not a regular file");
            ::close(fd);
            ::close(dir);
            return false;
        }
        // Another name of the file may lie outside the root, and a file of
        // someone else's stays theirs to read and change: write beside it.
        replace = st.st_nlink > 1 || SomeoneElses(st.st_uid);
        const int flags = ::fcntl(fd, F_GETFL);
        if (!replace && (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)) {
            ::close(fd);
            ::close(dir);
            return false;
        }
    } else if ((errno == EACCES || errno == EPERM) && ::fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISREG(st.st_mode) && (st.st_nlink > 1 || SomeoneElses(st.st_uid))) {
        // Someone else's, so not ours to write, though the directory may let
        // us replace it. A read-only file of the owner's own stays refused.
        replace = true;
    } else {
        if (errno == ELOOP || errno == ENXIO || errno == EISDIR || errno == ENODEV) {
            detail::LogRefusedName(relative, "a link, directory, FIFO, socket or device");
        }
        ::close(dir);
        return false;
    }
    std::u16string temporary;
    if (replace) {
        CloseFd(fd);
        fd = -1;
        for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
            temporary = detail::ReplacementName();
            const std::string name = Utf16ToUtf8(temporary);
            fd = Retry([&] { return ::openat(dir, name.c_str(), kCreateFlags, 0644); });
            if (fd < 0 && errno != EEXIST) break;
        }
        if (fd < 0) {
            ::close(dir);
            return false;
        }
        out->dir_ = dir;
        out->name_ = parts.back();
        out->temporary_ = temporary;
    } else {
        ::close(dir);
    }
    out->file_.Adopt(fd);
    out->failed_ = false;
    return true;
}

bool TargetFile::Close() {
    if (!IsOpen()) return false;
    bool ok = !failed_;
    if (!temporary_.empty()) {
        const std::string from = Utf16ToUtf8(temporary_);
        ok = ok && ::renameat(static_cast<int>(dir_), from.c_str(), static_cast<int>(dir_),
                              Utf16ToUtf8(name_).c_str()) == 0;
        if (ok) temporary_.clear();
    }
    Discard();
    return ok;
}

void TargetFile::Discard() {
    if (!temporary_.empty() && dir_ >= 0) ::unlinkat(static_cast<int>(dir_), Utf16ToUtf8(temporary_).c_str(), 0);
    file_.Close();
    CloseFd(static_cast<int>(dir_));
    dir_ = -1;
    temporary_.clear();
    name_.clear();
    failed_ = false;
}

// setfsuid and setfsgid change only the calling thread's file-system
// identity (glibc does not spread them to other threads, as it does setuid).
// An id they cannot take (-1 here) changes nothing and reports the current
// one, which tells whether the change took.
WriteIdentity::WriteIdentity(int64_t uid, int64_t gid) {
#if defined(__linux__)
    if (uid < 0 || gid < 0 || ::geteuid() != 0 || uid == 0) return;
    previousGid_ = ::setfsgid(static_cast<gid_t>(gid));
    previousUid_ = ::setfsuid(static_cast<uid_t>(uid));
    active_ = ::setfsuid(static_cast<uid_t>(-1)) == static_cast<int>(uid) &&
              ::setfsgid(static_cast<gid_t>(-1)) == static_cast<int>(gid);
    if (!active_) {
        ::setfsuid(static_cast<uid_t>(previousUid_));
        ::setfsgid(static_cast<gid_t>(previousGid_));
    }
#else
    (void)uid;
    (void)gid;
#endif
}

WriteIdentity::~WriteIdentity() {
#if defined(__linux__)
    if (active_) {
        ::setfsuid(static_cast<uid_t>(previousUid_));
        ::setfsgid(static_cast<gid_t>(previousGid_));
    }
#endif
}

}  // namespace tivlo::platform
