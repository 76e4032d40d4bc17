#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace tivlo::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

std::atomic<double> g_scale{1.0};
std::once_flag g_scaleOnce;

// A factor read from the environment; anything not a positive number leaves
// the clock at real speed.
void ReadScaleFromEnvironment() {
    const char* text = std::getenv("TIVLO_TIME_SCALE");
    if (text == nullptr || *text == '\0') {
        return;
    }
    char* end = nullptr;
    double factor = std::strtod(text, &end);
    if (end != text && factor > 0.0) {
        g_scale.store(factor);
    }
}

void EnsureScale() { std::call_once(g_scaleOnce, ReadScaleFromEnvironment); }

// The protocol clock runs at 1/scale of real time. A change of scale starts a
// new segment from the current reading, so the count never steps back.
struct ClockSegment {
    SteadyClock::time_point realStart;
    double protocolStart = 0;
    double scale = 1.0;
};
std::mutex g_clockMutex;
bool g_clockStarted = false;
ClockSegment g_segment;

double ProtocolAt(const ClockSegment& seg, SteadyClock::time_point now) {
    double realMs = std::chrono::duration<double, std::milli>(now - seg.realStart).count();
    return seg.protocolStart + realMs / seg.scale;
}

// Caller holds g_clockMutex.
void AdvanceSegment(SteadyClock::time_point now, double scale) {
    if (!g_clockStarted) {
        // Start from the real uptime, like a tick count, so no reading is 0.
        g_segment.realStart = now;
        g_segment.protocolStart =
            std::chrono::duration<double, std::milli>(now.time_since_epoch()).count() + 1.0;
        g_segment.scale = scale;
        g_clockStarted = true;
    } else if (scale != g_segment.scale) {
        g_segment.protocolStart = ProtocolAt(g_segment, now);
        g_segment.realStart = now;
        g_segment.scale = scale;
    }
}

}  // namespace

double TimeScale() {
    EnsureScale();
    return g_scale.load();
}

void SetTimeScale(double factor) {
    EnsureScale();  // so a later first use does not overwrite the override
    if (!(factor > 0.0)) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_clockMutex);
    if (g_clockStarted) {
        AdvanceSegment(SteadyClock::now(), factor);
    }
    g_scale.store(factor);
}

int64_t ScaledNanos(uint32_t ms) {
    return static_cast<int64_t>(static_cast<double>(ms) * 1e6 * TimeScale());
}

void SleepMs(uint32_t ms) {
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::nanoseconds(ScaledNanos(ms)));
}

uint64_t NowMs() {
    EnsureScale();
    std::lock_guard<std::mutex> lock(g_clockMutex);
    auto now = SteadyClock::now();
    AdvanceSegment(now, g_scale.load());
    double reading = ProtocolAt(g_segment, now);
    return static_cast<uint64_t>(reading);
}

uint64_t NowNs() {
    EnsureScale();
    std::lock_guard<std::mutex> lock(g_clockMutex);
    auto now = SteadyClock::now();
    AdvanceSegment(now, g_scale.load());
    // Whole milliseconds as NowMs has them, the rest from the same reading,
    // so the two clocks never disagree on the millisecond.
    double reading = ProtocolAt(g_segment, now);
    double whole = static_cast<double>(static_cast<uint64_t>(reading));
    return static_cast<uint64_t>(whole) * 1000000u +
           static_cast<uint64_t>((reading - whole) * 1e6);
}

void SleepNs(uint64_t ns) {
    if (ns == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(
        std::chrono::nanoseconds(static_cast<int64_t>(static_cast<double>(ns) * TimeScale())));
}

}  // namespace tivlo::platform
