// The debug log without a sink: standard error as UTF-8 when TIVLO_DEBUG is
// set, else nowhere.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/os_detail.h"
#include "platform/system.h"

namespace tivlo::platform::detail {

bool DebugOutputEnabled() {
    static const bool enabled = std::getenv("TIVLO_DEBUG") != nullptr;
    return enabled;
}

void WriteDebugOutput(const std::u16string& text) {
    std::string line = Utf16ToUtf8(text);
    if (line.empty() || line.back() != '\n') {
        line.push_back('\n');
    }
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace tivlo::platform::detail
