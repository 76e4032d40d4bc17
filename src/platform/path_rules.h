// The platform's path rules: separators, what an absolute path looks like,
// and whether names compare without regard to case.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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
// Names that mean something else here: a colon names a drive or a stream,
// and a component of dots and blanks ("...", ".. ") is taken for "..".
inline constexpr bool kWindowsNames = true;
#else
inline constexpr size_t kPathHeadLength = 1;
inline constexpr size_t kMinSelectedPathLength = 2;
inline constexpr char16_t kForeignSeparator = u'\\';
inline bool IsLocalAbsolutePath(const std::u16string& path) { return !path.empty() && path[0] == u'/'; }
inline constexpr bool kPathsIgnoreCase = false;
inline constexpr bool kWindowsNames = false;
#endif

// A path as the file system compares it: on Windows in upper case, letters
// of every script (two names that differ only there are one file).
#if defined(_WIN32)
std::u16string FoldPath(std::u16string path);  // system_win32.cpp
#else
inline std::u16string FoldPath(std::u16string path) { return path; }
#endif

// True when ok(part) holds for every component of path, the parts between
// any of the separators (empty ones included).
template <typename Ok>
bool EveryComponent(std::u16string_view path, std::u16string_view separators, Ok ok) {
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find_first_of(separators, start);
        if (end == std::u16string_view::npos) end = path.size();
        if (!ok(path.substr(start, end - start))) return false;
        start = end + 1;
    }
    return true;
}

// A path component the file system would take for something else: on
// Windows a device name (CON, NUL, COM1 ..., also with an extension) or a
// name ending in a dot or a blank, which Windows drops; elsewhere a name
// with an unpaired surrogate, which has no UTF-8 form (two such names would
// meet on one replacement character).
inline bool IsReservedName(std::u16string_view part) {
#if defined(_WIN32)
    if (part.empty()) return false;
    if (part.back() == u'.' || part.back() == u' ') return part != u"." && part != u"..";
    std::u16string base(part.substr(0, part.find(u'.')));
    while (!base.empty() && base.back() == u' ') base.pop_back();
    base = FoldPath(base);
    static const char16_t* const kDevices[] = {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"};
    for (const char16_t* d : kDevices)
        if (base == d) return true;
    return base.size() == 4 && (base.starts_with(u"COM") || base.starts_with(u"LPT")) && base[3] >= u'0' &&
           base[3] <= u'9';
#else
    for (size_t i = 0; i < part.size(); ++i) {
        if (part[i] < 0xD800 || part[i] > 0xDFFF) continue;
        if (part[i] > 0xDBFF || i + 1 == part.size() || part[i + 1] < 0xDC00 || part[i + 1] > 0xDFFF) return true;
        ++i;  // a pair
    }
    return false;
#endif
}

}  // namespace tivlo::platform
