// The debug log without a sink: the debugger output (OutputDebugStringW),
// and standard error as UTF-8 as well when TIVLO_DEBUG is set.
#include <windows.h>

#include <string>

#include "platform/os_detail.h"

namespace tivlo::platform::detail {

bool DebugOutputEnabled() { return true; }

void WriteDebugOutput(const std::u16string& text) {
    const std::wstring wide(text.begin(), text.end());
    ::OutputDebugStringW(wide.c_str());
    if (DebugVariableSet()) {
        WriteStandardError(text);
    }
}

}  // namespace tivlo::platform::detail
