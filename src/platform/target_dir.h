// Writing below a target root without ever leaving it. A receiver's target
// root often lies in a folder that an ordinary user can write to while the
// receiver runs with more rights (root, a service account), so nothing below
// the root is trusted: no symbolic link, junction or other reparse point is
// followed, nothing but a real directory is walked into and nothing but a
// regular file is written.
//
// Use, from the one thread that does a task's file operations (POSIX names):
//   TargetDir dir;                        // once per task
//   dir.Open(root);                       // root as already resolved
//   WriteIdentity as(dir.OwnerUid(), dir.OwnerGid());
//   dir.MakeDirectories(u"/empty/dir");   // an empty-directory entry
//   TargetFile file;
//   dir.OpenFile(u"/sub/name.bin", &file);
//   file.Truncate(length);                // at the file's first open in a task
//   file.Seek(offset); file.Write(block, size);  // per block
//   file.Close();                         // commits; check the result
// Every false from MakeDirectories, OpenFile, Write, Truncate and Close is
// reported as TIVLO_CODE_CREATE_FAILED (1001) for that file; a refusal
// (a link, a device, a FIFO, ".." ...) also writes a log line saying which
// name was refused.
//
// Keep the TargetFile open for the whole life of the file in the task and
// never reopen it by name per block: once opened, the descriptor is the
// file, and a link put in place of a directory or of the name afterwards
// cannot redirect later writes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"

namespace tivlo::platform {

class TargetFile;

class TargetDir {
public:
    TargetDir() = default;
    ~TargetDir();
    TargetDir(const TargetDir&) = delete;
    TargetDir& operator=(const TargetDir&) = delete;

    // Opens the root, a directory; with makeMissing, the missing
    // directories of its path are made first, each (POSIX) as the owner of
    // the one above it. Links in the root's own path are followed, but
    // (POSIX) one that neither root nor this process owns was placed by a
    // user: the folder behind it counts as that user's (OwnerUid), so that
    // writing as its owner gives no more rights than that user has. False
    // when it is missing or not a directory.
    bool Open(const std::u16string& root, bool makeMissing = false);
    bool IsOpen() const { return handle_ != -1; }
    void Close();

    // Relative names use the platform's separator (kPathSeparator; on
    // Windows '/' also separates, as the system reads it) and may start
    // with one, as the receiver's names from the wire do. Empty and "."
    // components are skipped; "..", a NUL, and on Windows ':' and any
    // other component of dots and blanks are refused.

    // Creates every missing directory along `relative`, one component at a
    // time. False (refused) when a component exists and is not a real
    // directory: a link, junction, FIFO, socket, device or file.
    bool MakeDirectories(const std::u16string& relative);

    // Opens the file `relative` for writing, creating the directories on
    // its way as MakeDirectories does. A missing file is created (empty); an
    // existing regular file is opened in place with its contents, to be cut
    // to length by the caller. Refused, without blocking: a link at the
    // name, a FIFO, socket, device or directory. An existing file with more
    // than one hard link, or (POSIX) owned by neither the root's owner nor
    // this process, is not written in place: `out` writes a new hidden file
    // beside it (empty at first), which Close renames over the name, so the
    // file's other names keep their contents. So is (POSIX) such a file that
    // this process may not open for writing, where the directory lets it
    // replace the file; a read-only file of the root's owner is refused.
    // `out` keeps what it needs of the directory: it may outlive this
    // TargetDir.
    bool OpenFile(const std::u16string& relative, TargetFile* out);

    // The root's owner (POSIX), for WriteIdentity; -1 where there is none.
    int64_t OwnerUid() const { return ownerUid_; }
    int64_t OwnerGid() const { return ownerGid_; }

private:
    // (POSIX) A file of this owner is neither the root's owner's nor ours.
    bool SomeoneElses(int64_t uid) const;

    intptr_t handle_ = -1;  // the root's descriptor (POSIX) or HANDLE
    std::u16string root_;   // Windows: for a second look at names by path
    int64_t ownerUid_ = -1;
    int64_t ownerGid_ = -1;
};

// One file below a TargetDir, open until Close (or Discard).
class TargetFile {
public:
    TargetFile() = default;
    ~TargetFile();  // discards what Close did not commit
    TargetFile(const TargetFile&) = delete;
    TargetFile& operator=(const TargetFile&) = delete;

    bool IsOpen() const { return file_.IsOpen(); }
    // True when the file is written beside the old one and replaces it on
    // Close.
    bool Replaces() const { return !temporary_.empty(); }
    // As File's: Write puts every byte at the current position.
    bool Write(const void* data, size_t length);
    bool Seek(int64_t offset);
    int64_t Length() const { return file_.Length(); }
    bool Truncate(int64_t length);
    // Closes the file; a replacement is renamed over the old name now. False
    // when that fails, an earlier Write or Truncate failed, or nothing was
    // open: the old file is then left as it was and the new one removed,
    // never half renamed.
    bool Close();
    // Closes without committing a replacement (a file written in place
    // keeps what was written).
    void Discard();

private:
    friend class TargetDir;
    File file_;
    intptr_t dir_ = -1;         // the directory holding the file (replacements)
    std::u16string name_;       // the file's own name in dir_
    std::u16string temporary_;  // the replacement's name, empty when in place
    bool failed_ = false;
};

// Makes the calling thread create and open files as the owner of a target
// root while it lives: on Linux, when the process runs as root (effective
// uid 0) and uid is another user's, through setfsuid/setfsgid, which change
// only the calling thread's file-system identity, so files and directories
// the writer thread makes belong to the folder's owner and the owner's
// permissions apply. Threads started while it is active inherit the
// identity, so start none then. It needs CAP_SETUID and CAP_SETGID (and
// CAP_DAC_OVERRIDE or CAP_DAC_READ_SEARCH to reach a root in a home that is
// closed to others, which it opens first as root); without them, or
// on Windows, or for a negative uid, it does nothing (Active() is false).
class WriteIdentity {
public:
    WriteIdentity(int64_t uid, int64_t gid);
    ~WriteIdentity();
    WriteIdentity(const WriteIdentity&) = delete;
    WriteIdentity& operator=(const WriteIdentity&) = delete;
    bool Active() const { return active_; }

private:
    bool active_ = false;
    int64_t previousUid_ = -1;
    int64_t previousGid_ = -1;
};

}  // namespace tivlo::platform
