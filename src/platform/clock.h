// The one clock of the library. Every wait of the engines goes through it, so
// tests can run the protocol's timers scaled down (a factor of 0.05 turns a
// 5000 ms heartbeat into 250 ms of real time).
#pragma once

#include <cstdint>

namespace tivlo::platform {

// Real time per protocol millisecond. The first use reads TIVLO_TIME_SCALE
// from the environment (for tests that run several processes); SetTimeScale
// overrides it in-process.
double TimeScale();
void SetTimeScale(double factor);

// Sleeps for ms protocol milliseconds (ms * scale of real time).
void SleepMs(uint32_t ms);

// Monotonic protocol milliseconds since an arbitrary start.
uint64_t NowMs();

// Real nanoseconds for a protocol duration, for the waits of this layer.
int64_t ScaledNanos(uint32_t ms);

// Monotonic protocol nanoseconds on the same clock as NowMs (NowNs() / 10^6
// and NowMs() agree to the millisecond), for pacing finer than a millisecond.
uint64_t NowNs();

// Sleeps for ns protocol nanoseconds (ns * scale of real time).
void SleepNs(uint64_t ns);

}  // namespace tivlo::platform
