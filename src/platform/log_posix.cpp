// The debug log without a sink: standard error as UTF-8 when TIVLO_DEBUG is
// set, else nowhere.
#include <string>

#include "platform/os_detail.h"

namespace tivlo::platform::detail {

bool DebugOutputEnabled() { return DebugVariableSet(); }

void WriteDebugOutput(const std::u16string& text) { WriteStandardError(text); }

}  // namespace tivlo::platform::detail
