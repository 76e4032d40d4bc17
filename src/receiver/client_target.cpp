// Target root, the receiver's view of its platform, and names from the wire.
#include <algorithm>

#include "platform/filesystem.h"
#include "platform/log.h"
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

constexpr uint32_t kNarrowWorkArea = 260;

}  // namespace

uint32_t IsNtPlatform() { return platform::IsNtFamily() == 1 ? 1 : 0; }

int ClientEngine::ResolveTargetPath(uint32_t mode, const std::u16string& path) {
    if (mode == kAllBitsMode) {
        SetTargetRoot(path);
        return 1;
    }
    std::u16string resolved;
    if (!ResolveSpecialFolder(mode, &resolved)) return 1;  // cannot be located: the previous root stays
    SetTargetRoot(resolved);
    return 1;
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
    return platform::NormalizePath(root, normalized);
}

bool RootWithin(const std::u16string& root, const std::vector<std::u16string>& allowed) {
    std::u16string target;
    if (!NormalizeRoot(root, &target)) return false;
    return NormalizedRootWithin(target, allowed);
}

bool NormalizedRootWithin(std::u16string target, const std::vector<std::u16string>& allowed) {
    auto fold = [](std::u16string text) {
        // Drive paths compare without regard to case.
        if (platform::kPathsIgnoreCase)
            for (char16_t& c : text)
                if (c >= u'A' && c <= u'Z') c = char16_t(c - u'A' + u'a');
        return text;
    };
    target = fold(target);
    for (const std::u16string& entry : allowed) {
        std::u16string dir;
        if (!NormalizeRoot(entry, &dir)) continue;
        dir = fold(dir);
        if (target == dir) return true;
        std::u16string prefix = dir;
        if (prefix.back() != platform::kPathSeparator) prefix += platform::kPathSeparator;
        if (target.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

void ClientEngine::SetAllowedRoots(const std::vector<std::u16string>& roots) {
    platform::LockGuard guard(rootLock);
    allowedRoots = roots;
}

bool ClientEngine::TargetRootAllowed() {
    std::vector<std::u16string> allowed;
    std::u16string root;
    {
        platform::LockGuard guard(rootLock);
        if (allowedRoots.empty()) return true;
        allowed = allowedRoots;
        root = targetRoot;
    }
    // The root is used as resolved: nothing is made along a path that
    // climbed or passed through a link.
    std::u16string resolved;
    if (NormalizeRoot(root, &resolved) && NormalizedRootWithin(resolved, allowed)) {
        SetTargetRoot(resolved);
        return true;
    }
    platform::Log(u"\nTivlo-----Target root " + root + u" lies outside the allowed directories, task refused!\n");
    return false;
}

int ClientEngine::MapProfilePath(std::u16string* path) {
    if (path->empty()) return 0;
    std::u16string account;
    if (!platform::CurrentUserName(&account)) return 0;
    std::u16string profile;
    if (!GetLogonProfileName(&profile)) return 0;
    if (account.empty() || profile.empty()) return 0;

    const std::u16string steps[] = {u"Default User", u"LocalService", u"NetworkService", account + u".WINXP",
                                    account + u".WINNT"};
    for (const auto& text : steps) {
        int n = ReplaceAll(path, text, profile);
        if (n > 0) return n;
    }
    return platform::MapAccountToProfile(path, account, profile);
}

int ClientEngine::GetLogonProfileName(std::u16string* name) {
    // The user of the machine's local seat; there is no domain to add.
    std::u16string user;
    if (!platform::LogonUserName(&user) || user.empty()) return 0;
    *name = user;
    return 1;
}

std::u16string ClientEngine::ConvertName(const uint8_t* field, uint32_t count) const {
    if (nameWide.load(std::memory_order_relaxed) == 1) {
        std::u16string wide = protocol::ReadWideName(field, count);
        if (ntFlag == 1) return wide;
        // A system without Unicode names sees them through its code page.
        const std::string narrow = platform::Utf16ToAnsi(wide);
        return platform::AnsiToUtf16(narrow.data(), narrow.size());
    }
    const std::string narrow = protocol::ReadNarrowName(field, std::min(count, kNarrowWorkArea));
    return platform::AnsiToUtf16(narrow.data(), narrow.size());
}

bool ClientEngine::ReadWireName(const uint8_t* field, uint32_t count, std::u16string* name) const {
    // The name is everything before its terminator; a NUL earlier than that
    // hides the rest of the name and is refused.
    const bool wide = nameWide.load(std::memory_order_relaxed) == 1;
    const uint32_t capacity = wide ? protocol::kMaxWideNameUnits : kNarrowWorkArea;
    const uint32_t units = std::min(count, capacity);
    if (units == 0) return false;
    for (uint32_t i = 0; i + 1 < units; ++i) {
        const bool isNul = wide ? (field[2 * i] == 0 && field[2 * i + 1] == 0) : field[i] == 0;
        if (isNul) return false;
    }
    *name = ConvertName(field, count);
    return true;
}

bool WireNameToRelative(const std::u16string& name, bool stripReserved, std::u16string* relative) {
    std::u16string text = name;
    if (stripReserved) {
        std::erase_if(text, [](char16_t c) { return c == u'/' || c == u'*' || c == u'?' || c == u'>' || c == u'<'; });
    }
    if (text.empty() || text[0] != platform::kWireSeparator) return false;
    if (text.size() > 1 && (text[1] == u'\\' || text[1] == u'/')) return false;  // \\server, //x
    if (text.find(u':') != std::u16string::npos) return false;                    // drive or stream
    if (text.find(u'\0') != std::u16string::npos) return false;
    // No component may climb out of the root, whichever separator the
    // platforms on either side use.
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of(u"\\/", start);
        if (end == std::u16string::npos) end = text.size();
        // "..", and what Windows makes of it ("...", ".. ").
        const std::u16string_view part(text.data() + start, end - start);
        const bool dotsAndBlanks = !part.empty() && part.find_first_not_of(u". ") == std::u16string_view::npos;
        if (dotsAndBlanks && std::count(part.begin(), part.end(), u'.') >= 2) return false;
        start = end + 1;
    }
    for (char16_t& c : text)
        if (c == platform::kWireSeparator) c = platform::kPathSeparator;
    *relative = std::move(text);
    return true;
}

}  // namespace tivlo::receiver
