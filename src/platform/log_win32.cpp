// The debug log without a sink: the debugger output (OutputDebugStringW),
// and standard error as UTF-8 as well when TIVLO_DEBUG is set.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/os_detail.h"
#include "platform/system.h"

namespace tivlo::platform::detail {

bool DebugOutputEnabled() { return true; }

void WriteDebugOutput(const std::u16string& text) {
    const std::wstring wide(text.begin(), text.end());
    ::OutputDebugStringW(wide.c_str());
    static const bool toStderr = std::getenv("TIVLO_DEBUG") != nullptr;
    if (toStderr) {
        std::string line = Utf16ToUtf8(text);
        if (line.empty() || line.back() != '\n') {
            line.push_back('\n');
        }
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    }
}

}  // namespace tivlo::platform::detail
