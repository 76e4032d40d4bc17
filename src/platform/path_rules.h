// The platform's path rules: separators, what an absolute path looks like,
// and whether names compare without regard to case. Constants only.
#pragma once

#include <cstddef>
#include <string>

namespace tivlo::platform {

// The platform's path separator, and the separator of names on the wire.
#if defined(_WIN32)
inline constexpr char16_t kPathSeparator = u'\\';
#else
inline constexpr char16_t kPathSeparator = u'/';
#endif
inline constexpr char16_t kWireSeparator = u'\\';

// The rules of a selected path. Windows: a drive path (C:\...), at least
// three characters, whose first three characters (drive, colon, separator)
// are not tested for illegal characters, among which '/'. POSIX: an absolute
// path (/...), at least two characters, the leading '/' untested, '\'
// illegal (it is the wire's separator).
#if defined(_WIN32)
inline constexpr size_t kPathHeadLength = 3;
inline constexpr size_t kMinSelectedPathLength = 3;
inline constexpr char16_t kForeignSeparator = u'/';
inline bool IsLocalAbsolutePath(const std::u16string& path) { return path.size() >= 2 && path[1] == u':'; }
inline constexpr bool kPathsIgnoreCase = true;
#else
inline constexpr size_t kPathHeadLength = 1;
inline constexpr size_t kMinSelectedPathLength = 2;
inline constexpr char16_t kForeignSeparator = u'\\';
inline bool IsLocalAbsolutePath(const std::u16string& path) { return !path.empty() && path[0] == u'/'; }
inline constexpr bool kPathsIgnoreCase = false;
#endif

}  // namespace tivlo::platform
