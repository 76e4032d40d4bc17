// System identity, the shell's special folders, the logged-on user from the
// registry, and code-page conversions with the system's ANSI code page.
#include "platform/system.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/path_rules.h"
#include "platform/system_win32_detail.h"

namespace tivlo::platform {

namespace {

constexpr DWORD kNameChars = 260;

std::wstring Wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }
std::u16string Narrow16(const wchar_t* text) { return std::u16string(text, text + std::wcslen(text)); }

// Frees an item list with the shell's allocator.
void FreeItemList(LPITEMIDLIST list) {
    if (list == nullptr) {
        return;
    }
    IMalloc* allocator = nullptr;
    if (SUCCEEDED(::SHGetMalloc(&allocator)) && allocator != nullptr) {
        allocator->Free(list);
        allocator->Release();
    }
}

}  // namespace

namespace detail {

bool ReadRegString(HKEY root, const wchar_t* subkey, const wchar_t* value, wchar_t* buffer, DWORD bytes) {
    if (buffer == nullptr || bytes < sizeof(wchar_t)) {
        return false;
    }
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    // The buffer has one character more than the size given, so a value
    // stored without its terminator still reads as a string.
    DWORD size = bytes;
    std::memset(buffer, 0, bytes + sizeof(wchar_t));
    LONG rc = ::RegQueryValueExW(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    ::RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

bool LogonProfileFromRegistry(bool ntFamily, std::u16string* name) {
    wchar_t user[kNameChars / sizeof(wchar_t) + 1];  // 260 bytes and a terminator
    wchar_t domain[kNameChars / sizeof(wchar_t) + 1];
    const DWORD bytes = kNameChars;  // the callers' buffer: 260 bytes
    if (!ntFamily) {
        if (!ReadRegString(HKEY_LOCAL_MACHINE, L"Network\\Logon", L"username", user, bytes)) {
            return false;
        }
        *name = Narrow16(user);
        return true;
    }
    const wchar_t* winlogon = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\WinLogon";
    if (!ReadRegString(HKEY_LOCAL_MACHINE, winlogon, L"AltDefaultUserName", user, bytes) &&
        !ReadRegString(HKEY_LOCAL_MACHINE, winlogon, L"DefaultUserName", user, bytes)) {
        return false;
    }
    if (!ReadRegString(HKEY_LOCAL_MACHINE, winlogon, L"AltDefaultDomainName", domain, bytes) &&
        !ReadRegString(HKEY_LOCAL_MACHINE, winlogon, L"DefaultDomainName", domain, bytes)) {
        return false;
    }
    wchar_t computer[16] = {};
    DWORD computerSize = 16;
    (void)::GetComputerNameW(computer, &computerSize);
    *name = Narrow16(user);
    if (::_wcsicmp(domain, computer) != 0) {
        *name += u".";
        *name += Narrow16(domain);
    }
    return true;
}

}  // namespace detail

// GetVersionExW with the 276-byte record: platform 2 is the NT family.
uint32_t IsNtFamily() {
    OSVERSIONINFOW info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!::GetVersionExW(&info)) {
        return 0;
    }
#pragma GCC diagnostic pop
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT ? 1 : 0;
}

bool CurrentUserName(std::u16string* name) {
    wchar_t buffer[kNameChars];
    DWORD size = kNameChars;
    if (!::GetUserNameW(buffer, &size)) {
        return false;
    }
    *name = Narrow16(buffer);
    return true;
}

// The logged-on user's profile name as the WinLogon values give it (user, or
// user.DOMAIN off the machine's own domain); TIVLO_LOGON_USER, when set,
// stands in for the registry as on every platform.
bool LogonUserName(std::u16string* name) {
    const char* forced = std::getenv("TIVLO_LOGON_USER");
    if (forced != nullptr && forced[0] != '\0') {
        *name = Utf8ToUtf16(forced);
        return true;
    }
    return detail::LogonProfileFromRegistry(IsNtFamily() == 1, name);
}

// Profiles lie side by side: a user's home is the sibling of the account's
// own profile folder.
bool UserHome(const std::u16string& user, std::u16string* home) {
    std::u16string own;
    if (!SpecialFolderPath(40, u"", &own)) {
        return false;
    }
    if (user.empty()) {
        *home = own;
        return true;
    }
    size_t cut = own.rfind(u'\\');
    if (cut == std::u16string::npos) {
        return false;
    }
    *home = own.substr(0, cut + 1) + user;
    return true;
}

// The shell resolves folders for the account this process runs under; the
// user argument is for platforms without a shell.
int MapAccountToProfile(std::u16string* path, const std::u16string& account, const std::u16string& profile) {
    if (account.empty()) return 0;
    int count = 0;
    size_t pos = 0;
    while ((pos = path->find(account, pos)) != std::u16string::npos) {
        path->replace(pos, account.size(), profile);
        pos += profile.size();
        ++count;
    }
    return count;
}

bool SpecialFolderPath(uint32_t csidl, const std::u16string& user, std::u16string* path) {
    (void)user;
    LPITEMIDLIST list = nullptr;
    if (FAILED(::SHGetSpecialFolderLocation(nullptr, static_cast<int>(csidl), &list)) || list == nullptr) {
        return false;
    }
    wchar_t buffer[MAX_PATH] = {};
    const bool ok = ::SHGetPathFromIDListW(list, buffer) != 0;
    FreeItemList(list);
    if (!ok) {
        return false;
    }
    *path = Narrow16(buffer);
    return true;
}

std::u16string FoldPath(std::u16string path) {
    // The invariant locale's simple upper-casing, as NTFS compares names,
    // whatever the user's language (no Turkish dotless i).
    if (path.empty()) return path;
    std::u16string upper(path.size(), u'\0');
    const int n = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, reinterpret_cast<LPCWSTR>(path.data()),
                                  int(path.size()), reinterpret_cast<LPWSTR>(upper.data()), int(upper.size()),
                                  nullptr, nullptr, 0);
    if (n == int(path.size())) return upper;
    for (char16_t& c : path)
        if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
    return path;
}

// CP_ACP both ways, no flags; a character the code page lacks becomes its
// default character.
std::u16string AnsiToUtf16(const char* bytes, size_t length) {
    if (bytes == nullptr || length == 0) {
        return {};
    }
    int n = ::MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(length), nullptr, 0);
    if (n <= 0) {
        return {};
    }
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(length), out.data(), n);
    return std::u16string(out.begin(), out.end());
}

std::string Utf16ToAnsi(const std::u16string& text) {
    if (text.empty()) {
        return {};
    }
    const std::wstring wide = Wide(text);
    int n = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                  nullptr);
    if (n <= 0) {
        return {};
    }
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::string Utf16ToUtf8(const std::u16string& text) {
    if (text.empty()) {
        return {};
    }
    const std::wstring wide = Wide(text);
    int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                  nullptr);
    if (n <= 0) {
        return {};
    }
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::u16string Utf8ToUtf16(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) {
        return {};
    }
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return std::u16string(out.begin(), out.end());
}

}  // namespace tivlo::platform
