// Pieces of the POSIX system layer that the tests reach directly.
#pragma once

#include <cstdint>
#include <string>

namespace tivlo::platform::detail {

// The folder of a CSIDL number inside a given home directory, from
// <home>/.config/user-dirs.dirs or the usual default names. False for a
// number without an equivalent there (the common desktop included).
bool XdgFolderInHome(uint32_t csidl, const std::string& home, std::string* path);

// The value of one XDG_*_DIR entry in user-dirs.dirs text, with $HOME
// expanded; false when the entry is absent.
bool ParseUserDirs(const std::string& text, const std::string& key, const std::string& home,
                   std::string* value);

}  // namespace tivlo::platform::detail
