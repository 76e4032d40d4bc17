// System identity, special folders, users and code pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tivlo::platform {

// 1 on an NT-family system (and on POSIX, where names are Unicode), else 0.
uint32_t IsNtFamily();

// The account this process runs under.
bool CurrentUserName(std::u16string* name);
// The user logged on at the machine's local seat (from utmp: ":0", "tty*"),
// or TIVLO_LOGON_USER when set. False when nobody is logged on locally.
bool LogonUserName(std::u16string* name);
// The home directory of a user.
bool UserHome(const std::u16string& user, std::u16string* home);
// A special folder (CSIDL number) of a user: desktop 0 and 16, documents 5,
// music 13, videos 14, pictures 39, profile 40; common desktop 25. False for
// a number the platform cannot locate.
bool SpecialFolderPath(uint32_t csidl, const std::u16string& user, std::u16string* path);

// Points a path resolved for the account this process runs under at the
// profile of another user (the last step of the receiver's profile mapping):
// on Windows every occurrence of the account's name becomes the profile's
// name; on POSIX, where a home is not always named after its user (/root),
// the account's home directory at the head of the path becomes the profile
// user's home. Returns the number of replacements.
int MapAccountToProfile(std::u16string* path, const std::u16string& account, const std::u16string& profile);

// Single-byte text in the ANSI code page (CP1252 unless TIVLO_ANSI_CODEPAGE
// names another) to UTF-16 and back. Characters the code page lacks become
// its default character ('?').
std::u16string AnsiToUtf16(const char* bytes, size_t length);
std::string Utf16ToAnsi(const std::u16string& text);

// UTF-16 and UTF-8, for the platform's own calls.
std::string Utf16ToUtf8(const std::u16string& text);
std::u16string Utf8ToUtf16(const std::string& text);

}  // namespace tivlo::platform
