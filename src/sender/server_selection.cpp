// The host's selection and the lists built from it: the transfer list (one
// entry per file, its position the file index on the wire), the directories
// without sub-directories, the block total and the Empty directories packets.
//
// Paths are absolute POSIX paths. Relative names are cut from the full path
// at prefixLength (the last '/' of the selection's last path) and travel with
// '\' as separator, so '\' is among the characters a name must not hold.
#include <algorithm>
#include <new>

#include "platform/filesystem.h"
#include "platform/log.h"
#include "protocol/blocks.h"
#include "protocol/packets.h"
#include "platform/system.h"
#include "sender/server_engine.h"
#include "tivlo/tivlo_codes.h"

namespace tivlo::sender {

namespace {

constexpr size_t kMaxSelectedPath = 260;
constexpr size_t kMinSelectedPath = platform::kMinSelectedPathLength;

// '\' takes the place of '/': '/' is our separator, '\' the wire's.
bool IsIllegalChar(char16_t c) {
    switch (c) {
        case platform::kForeignSeparator: case u'*': case u'?': case u'>': case u'<': case u'"': case u'|': case u':':
            return true;
        default:
            return false;
    }
}

// The leading separator is not tested: it is where a drive would stand.
bool HasIllegalChar(const std::u16string& name) {
    return std::any_of(name.begin() + std::min<size_t>(platform::kPathHeadLength, name.size()), name.end(), IsIllegalChar);
}

std::u16string ChildPath(const std::u16string& dir, const std::u16string& name) {
    if (!dir.empty() && dir.back() == platform::kPathSeparator) return dir + name;
    return dir + platform::kPathSeparator + name;
}

std::u16string ToWireName(std::u16string name) {
    std::replace(name.begin(), name.end(), platform::kPathSeparator, platform::kWireSeparator);
    return name;
}

std::u16string CutPrefix(const std::u16string& path, int32_t prefixLength) {
    if (prefixLength <= 0) return path;
    return path.substr(std::min<size_t>(size_t(prefixLength), path.size()));
}

}  // namespace

int ServerEngine::SetSelectFiles(const std::vector<std::u16string>& paths) {
    // A rebuilt list gives file indexes new meanings; a transfer under way
    // keeps the list it started with.
    selection_.clear();
    transferList_ = std::make_shared<TransferList>();
    if (paths.empty()) {
        platform::Log("\nTivlo-----No files in CSringArray!\n");
        return TIVLO_SELECT_OK;
    }
    for (const std::u16string& path : paths) {
        if (path.size() > kMaxSelectedPath) {
            platform::Log("\nTivlo-----File Name Lenght > Max_path in CStringArray!\n");
            return TIVLO_SELECT_TOO_LONG;
        }
        if (path.size() < kMinSelectedPath) {
            platform::Log("\nTivlo-----File Name Lenght < 3 in CStringArray!\n");
            return TIVLO_SELECT_TOO_SHORT;
        }
        if (!platform::IsLocalAbsolutePath(path)) {
            platform::Log("\nTivlo-----driver error\n");
            return TIVLO_SELECT_NOT_ABSOLUTE;
        }
        if (HasIllegalChar(path)) {
            platform::Log("\nTivlo-----File Name has illegal char!\n");
            return TIVLO_SELECT_ILLEGAL_CHAR;
        }
        selection_.push_back(path);
    }
    size_t last = paths.back().rfind(platform::kPathSeparator);
    prefixLength_ = last == std::u16string::npos ? -1 : int32_t(last);
    return BuildTransferList() == -1 ? TIVLO_SELECT_FILES_DROPPED : TIVLO_SELECT_OK;
}

bool ServerEngine::AddTransferEntry(const std::u16string& fullPath, const std::u16string& relativePosix,
                                    bool testIllegal, TransferList& list, bool* dropped) {
    if (testIllegal && HasIllegalChar(relativePosix)) {
        *dropped = true;
        return true;
    }
    // A name the field cannot hold would arrive cut: such a file is left out.
    if (relativePosix.size() > protocol::kMaxWideNameUnits) {
        platform::Log("\nTivlo-----Relative file name longer than 260 characters, file skipped!\n");
        *dropped = true;
        return true;
    }
    TransferEntry entry;
    entry.fullPath = fullPath;
    entry.relativeName = ToWireName(relativePosix);
    entry.relativeField = MakeNameField(entry.relativeName);
    list.files.push_back(std::move(entry));
    return true;
}

int32_t ServerEngine::BuildTransferList() {
    TransferList& list = *transferList_;
    bool dropped = false;
    for (const std::u16string& path : selection_) {
        platform::PathKind kind = platform::GetPathKind(path);
        if (kind == platform::PathKind::Directory) {
            AddIfEmptyDirectory(path, list);
            std::vector<platform::DirEntry> entries;
            platform::ListDirectory(path, &entries);
            for (const auto& entry : entries) {
                std::u16string child = ChildPath(path, entry.name);
                if (entry.kind == platform::DirEntry::Directory) {
                    if (includeSubdirs != 0) WalkDirectory(child, list, &dropped);
                } else if (entry.kind == platform::DirEntry::File) {
                    AddTransferEntry(child, CutPrefix(child, prefixLength_), true, list, &dropped);
                }
            }
        } else if (kind == platform::PathKind::File) {
            size_t last = path.rfind(platform::kPathSeparator);
            std::u16string relative = last == std::u16string::npos ? path : path.substr(last);
            AddTransferEntry(path, relative, true, list, &dropped);
        } else {
            // Gone since the host chose it, or neither file nor directory
            // (socket, FIFO, device): nothing to send.
            platform::Log("\nTivlo-----Selected path is neither file nor directory, skipped!\n");
        }
    }
    return dropped ? -1 : int32_t(list.files.size());
}

void ServerEngine::WalkDirectory(const std::u16string& dir, TransferList& list, bool* dropped) {
    AddIfEmptyDirectory(dir, list);
    std::vector<platform::DirEntry> entries;
    platform::ListDirectory(dir, &entries);
    for (const auto& entry : entries) {
        std::u16string child = ChildPath(dir, entry.name);
        if (entry.kind == platform::DirEntry::Directory) {
            WalkDirectory(child, list, dropped);
        } else if (entry.kind == platform::DirEntry::File) {
            // Files below a selected directory's sub-directories are not
            // tested for illegal characters.
            AddTransferEntry(child, CutPrefix(child, prefixLength_), false, list, dropped);
        }
    }
}

void ServerEngine::AddIfEmptyDirectory(const std::u16string& dir, TransferList& list) {
    std::vector<platform::DirEntry> entries;
    platform::ListDirectory(dir, &entries);  // unreadable: listed, as empty
    for (const auto& entry : entries) {
        if (entry.kind == platform::DirEntry::Directory) return;
    }
    std::u16string relative = CutPrefix(dir, prefixLength_);
    if (relative.size() > protocol::kMaxWideNameUnits) {
        platform::Log("\nTivlo-----Relative directory name longer than 260 characters, skipped!\n");
        return;
    }
    list.emptyDirectories.push_back(MakeNameField(ToWireName(relative)));
}

protocol::NameField ServerEngine::MakeNameField(const std::u16string& name) const {
    if (wideNames_ != 0) return protocol::WideNameField(name);
    return protocol::NarrowNameField(platform::Utf16ToAnsi(name));
}

}  // namespace tivlo::sender
