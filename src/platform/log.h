// The debug log. Every line goes to the host's sink exactly as written; with
// no sink, to standard error as UTF-8 when TIVLO_DEBUG is set, else nowhere.
#pragma once

#include <string>

namespace tivlo::platform {

using LogSink = void (*)(void* context, const char16_t* line);
void SetLogSink(LogSink sink, void* context);

void Log(const char* text);
void Log(const std::u16string& text);
// printf-style; the result must stay below 1 KiB.
void Logf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tivlo::platform
