// Pieces of the POSIX system layer that the tests reach directly.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace tivlo::platform::detail {

// The folder of a CSIDL number inside a given home directory, from
// <home>/.config/user-dirs.dirs or the usual default names. False for a
// number without an equivalent there (the common desktop included).
bool XdgFolderInHome(uint32_t csidl, const std::string& home, std::string* path);

// True when a folder, its links resolved, lies below (not at) the home and
// is owned by uid, or does not exist yet. Never for a home of "/".
bool FolderBelowHome(const std::string& folder, const std::string& home, uid_t uid);

// XdgFolderInHome for a process running as root: a folder that is not
// FolderBelowHome the user's is not used. A user-dirs entry naming one
// falls back on the default folder, and a default that fails too gives no
// folder; each with a log line. The profile (40) is the home as it is.
bool ConfinedFolderInHome(uint32_t csidl, const std::string& user, const std::string& home, uid_t uid,
                          std::string* path);

// The value of one XDG_*_DIR entry in user-dirs.dirs text, with $HOME
// expanded; false when the entry is absent.
bool ParseUserDirs(const std::string& text, const std::string& key, const std::string& home,
                   std::string* value);

}  // namespace tivlo::platform::detail
