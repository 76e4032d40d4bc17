// Protocol time as the cores see it: nanoseconds on a monotonic clock that
// the shells read (scaled in tests) and pass in with every event.
#pragma once

#include <cstdint>

namespace tivlo::protocol {

using Time = uint64_t;  // nanoseconds

inline constexpr Time kNever = UINT64_MAX;

constexpr Time Ms(uint64_t ms) { return ms * 1000000; }
constexpr Time Us(uint64_t us) { return us * 1000; }
constexpr uint64_t ToMs(Time t) { return t / 1000000; }

}  // namespace tivlo::protocol
