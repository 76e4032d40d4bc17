// Path normalisation for the receiver's root policy, on every system through
// the standard library's file system support (no exception leaves here).
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/filesystem.h"
#include "platform/system.h"

namespace tivlo::platform {

namespace {

namespace fs = std::filesystem;

// The path as the platform's file calls name it.
fs::path ToPath(const std::u16string& text) {
#if defined(_WIN32)
    return fs::path(std::wstring(text.begin(), text.end()));
#else
    return fs::path(Utf16ToUtf8(text));
#endif
}

std::u16string FromPath(const fs::path& path) {
#if defined(_WIN32)
    const std::wstring wide = path.native();
    return std::u16string(wide.begin(), wide.end());
#else
    return Utf8ToUtf16(path.native());
#endif
}

constexpr int kMaxLinks = 40;

}  // namespace

bool NormalizePath(const std::u16string& path, std::u16string* normalized) {
    if (!IsLocalAbsolutePath(path)) return false;
    try {
        // Component by component, as the system walks a path: a link (even
        // one that leads nowhere yet) is replaced by its target, ".." goes
        // to the parent of what was reached, and whatever does not exist is
        // taken as it reads.
        const fs::path input = ToPath(path);
        const fs::path relative = input.relative_path();
        std::vector<fs::path> pending(relative.begin(), relative.end());
        fs::path reached = input.root_path();
        int links = 0;
        for (size_t i = 0; i < pending.size(); ++i) {
            const fs::path& part = pending[i];
            if (part.empty() || part == ".") continue;
            if (part == "..") {
                reached = reached.parent_path();
                continue;
            }
            fs::path candidate = reached / part;
            std::error_code ec;
            if (fs::is_symlink(fs::symlink_status(candidate, ec))) {
                if (++links > kMaxLinks) return false;
                fs::path target = fs::read_symlink(candidate, ec);
                if (ec) return false;
                std::vector<fs::path> rest;
                if (target.is_absolute()) reached = target.root_path();
                const fs::path targetRelative = target.relative_path();
                for (const auto& t : targetRelative) rest.push_back(t);
                rest.insert(rest.end(), pending.begin() + long(i) + 1, pending.end());
                pending = std::move(rest);
                i = size_t(-1);
                continue;
            }
            reached = std::move(candidate);
        }
        std::u16string text = FromPath(reached.lexically_normal());
        while (text.size() > 1 && text.back() == kPathSeparator && !(text.size() == 3 && text[1] == u':'))
            text.pop_back();
        *normalized = std::move(text);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace tivlo::platform
