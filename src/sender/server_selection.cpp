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
#include "sender/server_engine.h"

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
    ClearSelection();
    if (paths.empty()) {
        platform::Log("\nTivlo-----No files in CSringArray!\n");
        return 1;
    }
    for (const std::u16string& path : paths) {
        if (path.size() > kMaxSelectedPath) {
            platform::Log("\nTivlo-----File Name Lenght > Max_path in CStringArray!\n");
            return 2;
        }
        if (path.size() < kMinSelectedPath) {
            platform::Log("\nTivlo-----File Name Lenght < 3 in CStringArray!\n");
            return 3;
        }
        if (!platform::IsLocalAbsolutePath(path)) {
            platform::Log("\nTivlo-----driver error\n");
            return 4;
        }
        if (HasIllegalChar(path)) {
            platform::Log("\nTivlo-----File Name has illegal char!\n");
            return 5;
        }
        auto* record = new (std::nothrow) SelectionRecord;
        if (record == nullptr) {
            platform::Log("\nTivlo-----Can not add file name to Array, because new memory failed!\n");
            return 6;
        }
        record->name = path;
        record->length = uint32_t(path.size() + 1);
        record->field = MakeNameField(path);
        selectionList.emplace_back(record);
    }
    size_t last = paths.back().rfind(platform::kPathSeparator);
    prefixLength = last == std::u16string::npos ? -1 : int32_t(last);
    return BuildTransferList() == -1 ? 7 : 1;
}

void ServerEngine::ClearSelection() {
    selectionList.clear();
    transferList.clear();
    emptyDirectoryList.clear();
    // A rebuilt list gives file indexes new meanings.
    DropRepairState();
}

bool ServerEngine::AddTransferEntry(const std::u16string& fullPath,
                                    const std::u16string& relativePosix, bool testIllegal,
                                    bool* dropped) {
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
    auto* entry = new (std::nothrow) TransferEntry;
    if (entry == nullptr) return false;
    entry->fullPath = fullPath;
    entry->fullPathLength = uint32_t(fullPath.size() + 1);
    entry->relativeName = ToWireName(relativePosix);
    entry->relativeNameLength = uint32_t(entry->relativeName.size() + 1);
    entry->relativeField = MakeNameField(entry->relativeName);
    transferList.emplace_back(entry);
    return true;
}

int32_t ServerEngine::BuildTransferList() {
    droppedAny_ = false;
    for (const auto& record : selectionList) {
        if (!record) {
            platform::Log("\nTivlo-----Can not get FileName from ArrayFileName!\n");
            return 0;
        }
        const std::u16string& path = record->name;
        platform::PathKind kind = platform::GetPathKind(path);
        if (kind == platform::PathKind::Directory) {
            AddIfEmptyDirectory(path);
            std::vector<platform::DirEntry> entries;
            platform::ListDirectory(path, &entries);
            for (const auto& entry : entries) {
                std::u16string child = ChildPath(path, entry.name);
                if (entry.kind == platform::DirEntry::Directory) {
                    if (includeSubdirs != 0) WalkDirectory(child);
                } else if (entry.kind == platform::DirEntry::File) {
                    if (!AddTransferEntry(child, CutPrefix(child, prefixLength), true, &droppedAny_))
                        return 0;
                }
            }
        } else if (kind == platform::PathKind::File) {
            size_t last = path.rfind(platform::kPathSeparator);
            std::u16string relative = last == std::u16string::npos ? path : path.substr(last);
            if (!AddTransferEntry(path, relative, true, &droppedAny_)) return 0;
        } else {
            // Gone since the host chose it, or neither file nor directory
            // (socket, FIFO, device): nothing to send.
            platform::Log("\nTivlo-----Selected path is neither file nor directory, skipped!\n");
        }
    }
    return droppedAny_ ? -1 : int32_t(transferList.size());
}

void ServerEngine::WalkDirectory(const std::u16string& dir) {
    AddIfEmptyDirectory(dir);
    std::vector<platform::DirEntry> entries;
    platform::ListDirectory(dir, &entries);
    for (const auto& entry : entries) {
        std::u16string child = ChildPath(dir, entry.name);
        if (entry.kind == platform::DirEntry::Directory) {
            WalkDirectory(child);
        } else if (entry.kind == platform::DirEntry::File) {
            // Files below a selected directory's sub-directories are not
            // tested for illegal characters.
            if (!AddTransferEntry(child, CutPrefix(child, prefixLength), false, &droppedAny_)) return;
        }
    }
}

void ServerEngine::AddIfEmptyDirectory(const std::u16string& dir) {
    std::vector<platform::DirEntry> entries;
    platform::ListDirectory(dir, &entries);  // unreadable: listed, as empty
    for (const auto& entry : entries) {
        if (entry.kind == platform::DirEntry::Directory) return;
    }
    std::u16string relative = CutPrefix(dir, prefixLength);
    if (relative.size() > protocol::kMaxWideNameUnits) {
        platform::Log("\nTivlo-----Relative directory name longer than 260 characters, skipped!\n");
        return;
    }
    auto* record = new (std::nothrow) SelectionRecord;
    if (record == nullptr) {
        platform::Log("\nTivlo-----When add Empty Directory, Allocate memory Failed!\n");
        return;
    }
    record->name = ToWireName(relative);
    record->length = uint32_t(record->name.size() + 1);
    record->field = MakeNameField(record->name);
    emptyDirectoryList.emplace_back(record);
}

uint64_t ServerEngine::CountTotalBlocks() {
    uint64_t total = 0;
    for (const auto& entry : transferList) {
        if (!entry) continue;
        total += protocol::BlockCount(QueryFileLength(entry->fullPath));
    }
    return total;
}

uint64_t ServerEngine::QueryFileLength(const std::u16string& path) {
    platform::File file;
    if (!file.OpenRead(path, true)) return 0;
    int64_t length = file.Length();
    file.Close();
    return length < 0 ? 0 : uint64_t(length);
}

int ServerEngine::SendEmptyDirectories() {
    if (emptyDirectoryList.empty()) return 1;
    // Packets of at most 40 entries, in list order; each goes out three
    // times, as nothing repairs a lost one.
    std::vector<uint8_t> packet(protocol::kMaxDatagram);
    std::vector<protocol::NameField> fields;
    for (size_t first = 0; first < emptyDirectoryList.size(); first += protocol::kMaxEmptyDirEntries) {
        size_t end = std::min(emptyDirectoryList.size(), first + protocol::kMaxEmptyDirEntries);
        fields.clear();
        for (size_t i = first; i < end; ++i) fields.push_back(emptyDirectoryList[i]->field);
        size_t length = protocol::EncodeEmptyDirectories(fields, packet.data());
        if (!SendThreeTimes(packet.data(), length)) {
            platform::Log("\nTivlo-----Send Empty Directory Failed!\n");
            CloseSockets();
            return 0;
        }
    }
    return 1;
}

}  // namespace tivlo::sender
