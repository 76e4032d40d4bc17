// Target root, the receiver's view of its platform, and names from the wire.
#include <algorithm>

#include "platform/filesystem.h"
#include "platform/log.h"
#include "platform/path_rules.h"
#include "platform/system.h"
#include "receiver/client_engine.h"

namespace tivlo::receiver {

namespace {

// Replaces every occurrence; returns how many.
int ReplaceAll(std::u16string* text, const std::u16string& what, const std::u16string& with) {
    if (what.empty()) return 0;
    int count = 0;
    size_t pos = 0;
    while ((pos = text->find(what, pos)) != std::u16string::npos) {
        text->replace(pos, what.size(), with);
        pos += with.size();
        ++count;
    }
    return count;
}

}  // namespace

uint32_t IsNtPlatform() { return platform::IsNtFamily() == 1 ? 1 : 0; }

int ClientEngine::ResolveTargetPath(uint32_t mode, const std::u16string& path, std::u16string* root) {
    if (mode == kAllBitsMode) {
        *root = path;
        return 1;
    }
    // A folder that cannot be located leaves the previous root in force.
    return ResolveSpecialFolder(mode, root) ? 1 : 0;
}

bool ClientEngine::ResolveSpecialFolder(uint32_t mode, std::u16string* folder) {
    // The special folder as the account this receiver runs under sees it;
    // MapProfilePath then points it at the user logged on at the machine.
    std::u16string account;
    platform::CurrentUserName(&account);
    std::u16string resolved;
    if (!platform::SpecialFolderPath(mode, account, &resolved)) {
        if (mode != kCsidlDesktop) return false;
        // The desktop falls back on the common desktop, made the account's.
        resolved.clear();
        if (platform::SpecialFolderPath(kCsidlCommonDesktop, account, &resolved))
            ReplaceAll(&resolved, u"All Users", account);
    }
    MapProfilePath(&resolved);
    *folder = std::move(resolved);
    return true;
}

bool NormalizeRoot(const std::u16string& root, std::u16string* normalized) {
    // Each folder of the root must be one the file system can name as given.
    return platform::NormalizePath(root, normalized) &&
           platform::EveryComponent(*normalized, {&platform::kPathSeparator, 1},
                                    [](std::u16string_view part) { return !platform::IsReservedName(part); });
}

bool RootWithin(const std::u16string& root, const std::vector<std::u16string>& allowed) {
    std::u16string target;
    if (!NormalizeRoot(root, &target)) return false;
    return NormalizedRootWithin(target, allowed);
}

bool NormalizedRootWithin(std::u16string target, const std::vector<std::u16string>& allowed) {
    // Drive paths compare as the file system compares names.
    target = platform::FoldPath(target);
    for (const std::u16string& entry : allowed) {
        std::u16string dir;
        if (!NormalizeRoot(entry, &dir)) continue;
        dir = platform::FoldPath(dir);
        if (target == dir) return true;
        std::u16string prefix = dir;
        if (prefix.back() != platform::kPathSeparator) prefix += platform::kPathSeparator;
        if (target.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

bool ClientEngine::TargetRootAllowed(std::u16string* root) {
    std::vector<std::u16string> allowed;
    {
        std::lock_guard<std::mutex> lock(settingsLock_);
        if (allowedRoots_.empty()) return true;
        allowed = allowedRoots_;
    }
    // The root is used as resolved: nothing is made along a path that
    // climbed or passed through a link.
    std::u16string resolved;
    if (NormalizeRoot(*root, &resolved) && NormalizedRootWithin(resolved, allowed)) {
        *root = resolved;
        return true;
    }
    platform::Log(u"\nTivlo-----Target root " + *root + u" lies outside the allowed directories, task refused!\n");
    return false;
}

int ClientEngine::MapProfilePath(std::u16string* path) {
    if (path->empty()) return 0;
    std::u16string account;
    if (!platform::CurrentUserName(&account)) return 0;
    // The user of the machine's local seat; there is no domain to add.
    std::u16string profile;
    if (!platform::LogonUserName(&profile)) return 0;
    if (account.empty() || profile.empty()) return 0;

    const std::u16string steps[] = {u"Default User", u"LocalService", u"NetworkService", account + u".WINXP",
                                    account + u".WINNT"};
    for (const auto& text : steps) {
        int n = ReplaceAll(path, text, profile);
        if (n > 0) return n;
    }
    return platform::MapAccountToProfile(path, account, profile);
}

}  // namespace tivlo::receiver
