#include "platform/system.h"

#include <iconv.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <utmpx.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/filesystem.h"
#include "platform/log.h"
#include "platform/system_posix_detail.h"

namespace tivlo::platform {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void AppendUtf16(std::u16string& out, uint32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

}  // namespace

std::string Utf16ToUtf8(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                uint32_t low = text[++i];
                AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
            } else {
                AppendUtf8(out, kReplacement);  // lone high surrogate
            }
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            AppendUtf8(out, kReplacement);  // lone low surrogate
        } else {
            AppendUtf8(out, c);
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        uint8_t b = static_cast<uint8_t>(text[i]);
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        }
        int extra;
        uint32_t cp;
        uint32_t min;
        if (b >= 0xC2 && b <= 0xDF) {
            extra = 1, cp = b & 0x1F, min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2, cp = b & 0x0F, min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3, cp = b & 0x07, min = 0x10000;
        } else {
            out.push_back(kReplacement);  // stray continuation or invalid lead byte
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool ok = true;
        for (int k = 0; k < extra; ++k, ++j) {
            if (j >= n || (static_cast<uint8_t>(text[j]) & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (static_cast<uint8_t>(text[j]) & 0x3F);
        }
        if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            // One replacement for the malformed sequence; resume after the
            // bytes that looked like its continuation.
            out.push_back(kReplacement);
            i = ok ? j : (j > i + 1 ? j : i + 1);
            continue;
        }
        AppendUtf16(out, cp);
        i = j;
    }
    return out;
}

uint32_t IsNtFamily() { return 1; }

namespace {

bool PasswdByUid(uid_t uid, std::string* name, std::string* home) {
    std::vector<char> buffer(16384);
    passwd pw;
    passwd* result = nullptr;
    if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &result) != 0 || result == nullptr) {
        return false;
    }
    if (name != nullptr) {
        *name = pw.pw_name != nullptr ? pw.pw_name : "";
    }
    if (home != nullptr) {
        *home = pw.pw_dir != nullptr ? pw.pw_dir : "";
    }
    return true;
}

bool HomeOfUser(const std::string& user, std::string* home, uid_t* uid = nullptr) {
    if (user.empty()) {
        if (uid != nullptr) {
            *uid = ::geteuid();
        }
        return PasswdByUid(::geteuid(), nullptr, home) && !home->empty();
    }
    std::vector<char> buffer(16384);
    passwd pw;
    passwd* result = nullptr;
    if (::getpwnam_r(user.c_str(), &pw, buffer.data(), buffer.size(), &result) != 0 ||
        result == nullptr || pw.pw_dir == nullptr || pw.pw_dir[0] == '\0') {
        return false;
    }
    *home = pw.pw_dir;
    if (uid != nullptr) {
        *uid = pw.pw_uid;
    }
    return true;
}

// The utmp iteration keeps state of its own.
std::mutex g_utmpMutex;

bool IsSeatLine(const char* line) {
    return (line[0] == ':' && line[1] >= '0' && line[1] <= '9') || std::strncmp(line, "tty", 3) == 0;
}

bool LocalSeatUser(std::string* user) {
    std::lock_guard<std::mutex> lock(g_utmpMutex);
    std::string first;
    std::string display0;
    ::setutxent();
    while (utmpx* u = ::getutxent()) {
        if (u->ut_type != USER_PROCESS || u->ut_user[0] == '\0') {
            continue;
        }
        char line[sizeof u->ut_line + 1] = {};
        std::memcpy(line, u->ut_line, sizeof u->ut_line);
        char host[sizeof u->ut_host + 1] = {};
        std::memcpy(host, u->ut_host, sizeof u->ut_host);
        std::string name(u->ut_user, strnlen(u->ut_user, sizeof u->ut_user));
        if (std::strcmp(line, ":0") == 0 || std::strcmp(host, ":0") == 0) {
            display0 = name;
            break;
        }
        if (first.empty() && IsSeatLine(line)) {
            first = name;
        }
    }
    ::endutxent();
    *user = !display0.empty() ? display0 : first;
    return !user->empty();
}

std::string TrimTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

}  // namespace

namespace detail {

bool ParseUserDirs(const std::string& text, const std::string& key, const std::string& home,
                   std::string* value) {
    std::istringstream in(text);
    std::string line;
    bool found = false;
    while (std::getline(in, line)) {
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') {
            continue;
        }
        size_t eq = line.find('=', start);
        if (eq == std::string::npos) {
            continue;
        }
        std::string name = line.substr(start, eq - start);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
            name.pop_back();
        }
        if (name != key) {
            continue;
        }
        // The value is shell-quoted: "..." with \ escapes, or a bare word.
        std::string raw;
        size_t i = eq + 1;
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        if (i < line.size() && line[i] == '"') {
            for (++i; i < line.size() && line[i] != '"'; ++i) {
                if (line[i] == '\\' && i + 1 < line.size()) {
                    ++i;
                }
                raw.push_back(line[i]);
            }
        } else {
            for (; i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '#'; ++i) {
                raw.push_back(line[i]);
            }
        }
        std::string expanded;
        if (raw.rfind("$HOME", 0) == 0) {
            expanded = home + raw.substr(5);
        } else if (raw.rfind("${HOME}", 0) == 0) {
            expanded = home + raw.substr(7);
        } else if (!raw.empty() && raw[0] == '/') {
            expanded = raw;
        } else {
            continue;  // relative paths are not allowed in the file
        }
        *value = TrimTrailingSlashes(expanded);
        found = true;  // the last assignment wins, as in the shell
    }
    return found;
}

namespace {

// The user-dirs.dirs key and default folder name of a CSIDL number; false
// for one without such a folder.
bool XdgNames(uint32_t csidl, const char** key, const char** fallback) {
    switch (csidl) {
        case 0:   // desktop
        case 16:  // desktop directory
            *key = "XDG_DESKTOP_DIR", *fallback = "Desktop";
            return true;
        case 5:
            *key = "XDG_DOCUMENTS_DIR", *fallback = "Documents";
            return true;
        case 13:
            *key = "XDG_MUSIC_DIR", *fallback = "Music";
            return true;
        case 14:
            *key = "XDG_VIDEOS_DIR", *fallback = "Videos";
            return true;
        case 39:
            *key = "XDG_PICTURES_DIR", *fallback = "Pictures";
            return true;
        default:
            return false;
    }
}

}  // namespace

bool XdgFolderInHome(uint32_t csidl, const std::string& home, std::string* path) {
    if (home.empty()) {
        return false;
    }
    std::string base = TrimTrailingSlashes(home);
    if (csidl == 40) {
        *path = base;
        return true;
    }
    const char* key = nullptr;
    const char* fallback = nullptr;
    if (!XdgNames(csidl, &key, &fallback)) {
        return false;
    }
    std::ifstream in(base + "/.config/user-dirs.dirs");
    if (in) {
        std::stringstream text;
        text << in.rdbuf();
        if (ParseUserDirs(text.str(), key, base, path)) {
            return true;
        }
    }
    *path = base + "/" + fallback;
    return true;
}

bool FolderBelowHome(const std::string& folder, const std::string& home, uid_t uid) {
    std::u16string resolvedHome;
    std::u16string resolved;
    if (!NormalizePath(Utf8ToUtf16(home), &resolvedHome) || !NormalizePath(Utf8ToUtf16(folder), &resolved) ||
        resolvedHome == u"/") {
        return false;
    }
    if (resolved.compare(0, resolvedHome.size() + 1, resolvedHome + u"/") != 0) {
        return false;  // outside, or the home itself ("disabled" in user-dirs terms)
    }
    struct stat st;
    if (::stat(Utf16ToUtf8(resolved).c_str(), &st) != 0) {
        return errno == ENOENT;  // not made yet: nobody owns it
    }
    return st.st_uid == uid;
}

bool ConfinedFolderInHome(uint32_t csidl, const std::string& user, const std::string& home, uid_t uid,
                          std::string* path) {
    if (!XdgFolderInHome(csidl, home, path)) {
        return false;
    }
    const char* key = nullptr;
    const char* fallback = nullptr;
    if (!XdgNames(csidl, &key, &fallback) || FolderBelowHome(*path, home, uid)) {
        return true;  // the profile is the home itself
    }
    const std::string fallbackPath = TrimTrailingSlashes(home) + "/" + fallback;
    if (*path != fallbackPath) {
        Log(u"\nTivlo-----Folder setting " + Utf8ToUtf16(std::string(key) + "=" + *path) +
            u" lies outside the home of user " + Utf8ToUtf16(user) + u" or is not theirs, ignored!\n");
        *path = fallbackPath;
        if (FolderBelowHome(*path, home, uid)) {
            return true;
        }
    }
    Log(u"\nTivlo-----Folder " + Utf8ToUtf16(*path) + u" lies outside the home of user " + Utf8ToUtf16(user) +
        u" or is not theirs, not used!\n");
    return false;
}

}  // namespace detail

bool CurrentUserName(std::u16string* name) {
    std::string utf8;
    if (!PasswdByUid(::geteuid(), &utf8, nullptr) || utf8.empty()) {
        return false;
    }
    *name = Utf8ToUtf16(utf8);
    return true;
}

bool LogonUserName(std::u16string* name) {
    const char* forced = std::getenv("TIVLO_LOGON_USER");
    std::string user;
    if (forced != nullptr && forced[0] != '\0') {
        user = forced;
    } else if (!LocalSeatUser(&user)) {
        return false;
    }
    *name = Utf8ToUtf16(user);
    return true;
}

// An empty user name means the account this process runs under.
bool UserHome(const std::u16string& user, std::u16string* home) {
    std::string utf8;
    if (!HomeOfUser(Utf16ToUtf8(user), &utf8)) {
        return false;
    }
    *home = Utf8ToUtf16(TrimTrailingSlashes(utf8));
    return true;
}

// Linux has no all-users desktop. The common desktop (25) is taken to be the
// desktop of the user at the local seat, since that is the desktop every
// person at this machine sees; without such a user, the given user's.
int MapAccountToProfile(std::u16string* path, const std::u16string& account, const std::u16string& profile) {
    std::u16string accountHome;
    std::u16string profileHome;
    if (!UserHome(account, &accountHome) || !UserHome(profile, &profileHome)) return 0;
    while (accountHome.size() > 1 && accountHome.back() == u'/') accountHome.pop_back();
    while (profileHome.size() > 1 && profileHome.back() == u'/') profileHome.pop_back();
    if (accountHome.empty() || path->compare(0, accountHome.size(), accountHome) != 0) return 0;
    if (path->size() > accountHome.size() && (*path)[accountHome.size()] != u'/') return 0;
    path->replace(0, accountHome.size(), profileHome);
    return 1;
}

bool SpecialFolderPath(uint32_t csidl, const std::u16string& user, std::u16string* path) {
    std::u16string owner = user;
    if (csidl == 25) {
        std::u16string logon;
        if (LogonUserName(&logon)) {
            owner = logon;
        }
        csidl = 0;
    }
    std::string name = Utf16ToUtf8(owner);
    std::string home;
    uid_t uid = 0;
    if (!HomeOfUser(name, &home, &uid)) {
        return false;
    }
    // A service running as root must not let a user's own settings (or a
    // link in their home) point it at folders that are not theirs.
    std::string result;
    const bool found = ::geteuid() == 0 ? detail::ConfinedFolderInHome(csidl, name, home, uid, &result)
                                        : detail::XdgFolderInHome(csidl, home, &result);
    if (!found) {
        return false;
    }
    *path = Utf8ToUtf16(result);
    return true;
}

namespace {

// The single-byte code page of the ANSI conversions, read once.
const char* AnsiCodePage() {
    static const std::string name = [] {
        const char* env = std::getenv("TIVLO_ANSI_CODEPAGE");
        return std::string(env != nullptr && env[0] != '\0' ? env : "CP1252");
    }();
    return name.c_str();
}

const char* Utf16HostOrder() {
    const uint16_t probe = 1;
    return *reinterpret_cast<const uint8_t*>(&probe) == 1 ? "UTF-16LE" : "UTF-16BE";
}

// Conversion descriptors are costly to open and not shareable between
// threads, so each thread keeps its own pair.
struct IconvPair {
    iconv_t toUtf16 = reinterpret_cast<iconv_t>(-1);
    iconv_t fromUtf16 = reinterpret_cast<iconv_t>(-1);
    bool opened = false;
    ~IconvPair() {
        if (toUtf16 != reinterpret_cast<iconv_t>(-1)) {
            iconv_close(toUtf16);
        }
        if (fromUtf16 != reinterpret_cast<iconv_t>(-1)) {
            iconv_close(fromUtf16);
        }
    }
};

IconvPair& ThreadIconv() {
    thread_local IconvPair pair;
    if (!pair.opened) {
        pair.opened = true;
        pair.toUtf16 = iconv_open(Utf16HostOrder(), AnsiCodePage());
        pair.fromUtf16 = iconv_open(AnsiCodePage(), Utf16HostOrder());
    }
    return pair;
}

}  // namespace

// A byte the code page does not define becomes '?'. Without the code page
// (iconv does not know it) only ASCII survives.
std::u16string AnsiToUtf16(const char* bytes, size_t length) {
    std::u16string out;
    if (bytes == nullptr || length == 0) {
        return out;
    }
    iconv_t cd = ThreadIconv().toUtf16;
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (size_t i = 0; i < length; ++i) {
            auto b = static_cast<uint8_t>(bytes[i]);
            out.push_back(b < 0x80 ? b : u'?');
        }
        return out;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    out.resize(length * 2 + 2);  // a single-byte page gives at most a pair per byte
    char* in = const_cast<char*>(bytes);
    size_t inLeft = length;
    char* dst = reinterpret_cast<char*>(out.data());
    size_t outLeft = out.size() * sizeof(char16_t);
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &dst, &outLeft) != static_cast<size_t>(-1)) {
            break;
        }
        if ((errno == EILSEQ || errno == EINVAL) && outLeft >= sizeof(char16_t)) {
            const char16_t q = u'?';
            std::memcpy(dst, &q, sizeof q);
            dst += sizeof q;
            outLeft -= sizeof q;
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            continue;
        }
        break;  // E2BIG cannot happen with the size above
    }
    out.resize(static_cast<size_t>(reinterpret_cast<char16_t*>(dst) - out.data()));
    return out;
}

// A character the code page lacks (and a lone surrogate) becomes '?'.
std::string Utf16ToAnsi(const std::u16string& text) {
    std::string out;
    if (text.empty()) {
        return out;
    }
    iconv_t cd = ThreadIconv().fromUtf16;
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (char16_t c : text) {
            out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        }
        return out;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    out.resize(text.size() * 4 + 4);
    char* in = reinterpret_cast<char*>(const_cast<char16_t*>(text.data()));
    size_t inLeft = text.size() * sizeof(char16_t);
    char* dst = out.data();
    size_t outLeft = out.size();
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &dst, &outLeft) != static_cast<size_t>(-1)) {
            break;
        }
        if ((errno == EILSEQ || errno == EINVAL) && outLeft >= 1) {
            // Skip the whole character: a valid pair is one character.
            char16_t c;
            std::memcpy(&c, in, sizeof c);
            size_t units = 1;
            if (c >= 0xD800 && c <= 0xDBFF && inLeft >= 2 * sizeof(char16_t)) {
                char16_t next;
                std::memcpy(&next, in + sizeof c, sizeof next);
                if (next >= 0xDC00 && next <= 0xDFFF) {
                    units = 2;
                }
            }
            *dst++ = '?';
            --outLeft;
            in += units * sizeof(char16_t);
            inLeft -= units * sizeof(char16_t);
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            continue;
        }
        break;
    }
    out.resize(static_cast<size_t>(dst - out.data()));
    return out;
}

}  // namespace tivlo::platform
