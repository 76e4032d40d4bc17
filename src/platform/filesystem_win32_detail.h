// Pieces of the Windows file-system layer that the tests reach directly.
#pragma once

namespace tivlo::platform::detail {

// The free-space query looks up this name in kernel32.dll instead of
// GetDiskFreeSpaceExW (a name that does not exist there forces the
// GetDiskFreeSpaceW fallback); nullptr restores the real name. The string
// must outlive its use.
void SetExtendedFreeSpaceName(const char* name);

}  // namespace tivlo::platform::detail
