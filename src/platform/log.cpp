#include "platform/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <shared_mutex>

#include "platform/os_detail.h"
#include "platform/system.h"

namespace tivlo::platform {

namespace {

// Log calls share the lock while they call the sink, so once SetLogSink has
// returned the old sink is never called again and its context may go.
std::shared_mutex g_sinkMutex;
LogSink g_sink = nullptr;
void* g_sinkContext = nullptr;
// A sink that logs itself must not take the shared lock a second time (a
// waiting SetLogSink would block it).
thread_local int t_sinkDepth = 0;

void Deliver(const std::u16string& text) {
    auto emit = [&](LogSink sink, void* context) {
        if (sink != nullptr) {
            ++t_sinkDepth;
            sink(context, text.c_str());
            --t_sinkDepth;
        } else if (detail::DebugOutputEnabled()) {
            detail::WriteDebugOutput(text);
        }
    };
    if (t_sinkDepth > 0) {
        emit(g_sink, g_sinkContext);  // the outer call holds the lock
        return;
    }
    std::shared_lock<std::shared_mutex> lock(g_sinkMutex);
    emit(g_sink, g_sinkContext);
}

}  // namespace

namespace detail {

bool DebugVariableSet() {
    static const bool set = std::getenv("TIVLO_DEBUG") != nullptr;
    return set;
}

void WriteStandardError(const std::u16string& text) {
    std::string line = Utf16ToUtf8(text);
    if (line.empty() || line.back() != '\n') {
        line.push_back('\n');
    }
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace detail

// Must not be called from inside the sink.
void SetLogSink(LogSink sink, void* context) {
    std::unique_lock<std::shared_mutex> lock(g_sinkMutex);
    g_sink = sink;
    g_sinkContext = context;
}

void Log(const char* text) {
    if (text == nullptr) {
        return;
    }
    Deliver(Utf8ToUtf16(text));
}

void Log(const std::u16string& text) { Deliver(text); }

void Logf(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    Log(buffer);
}

}  // namespace tivlo::platform
