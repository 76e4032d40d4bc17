// Path normalisation for the receiver's root policy, on every system through
// the standard library's file system support.
#include <filesystem>
#include <system_error>

#include "platform/filesystem.h"

namespace tivlo::platform {

bool NormalizePath(const std::u16string& path, std::u16string* normalized) {
    if (!IsLocalAbsolutePath(path)) return false;
    std::error_code ec;
    // Links resolved through the longest part that exists; the rest is
    // folded lexically ("a/../b" is "b"), as creating it would make it.
    std::filesystem::path resolved = std::filesystem::weakly_canonical(std::filesystem::path(path), ec);
    if (ec) return false;
    resolved = resolved.lexically_normal();
    std::u16string text = resolved.u16string();
    // No trailing separator, except for the root itself.
    while (text.size() > 1 && text.back() == kPathSeparator && !(text.size() == 3 && text[1] == u':')) text.pop_back();
    *normalized = std::move(text);
    return true;
}

}  // namespace tivlo::platform
