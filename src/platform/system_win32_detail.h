// Pieces of the Windows system layer that the tests reach directly.
#pragma once

#include <windows.h>

#include <string>

namespace tivlo::platform::detail {

// Reads a string value of root\subkey into buffer, which holds bytes plus one
// character (bytes is the size given to the query, so a longer value, its
// terminator included, counts as unreadable). True when both the open and
// the query succeeded; the value's type is not examined.
bool ReadRegString(HKEY root, const wchar_t* subkey, const wchar_t* value, wchar_t* buffer, DWORD bytes);

// The logged-on user's profile name from the local-machine registry: on the
// NT family the WinLogon values (Alt... first), the user alone when the
// domain is the computer's own name, else user.DOMAIN; otherwise the value
// username of Network\Logon.
bool LogonProfileFromRegistry(bool ntFamily, std::u16string* name);

}  // namespace tivlo::platform::detail
