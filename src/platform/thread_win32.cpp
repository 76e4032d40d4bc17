// Thread priority on Windows, and the timer resolution the engines' short
// sleeps need.
#include <windows.h>
#include <mmsystem.h>

#include "platform/os_detail.h"

namespace tivlo::platform::detail {

namespace {

// Sleep works in scheduler ticks of about 15.6 ms unless a process asks for
// 1 ms; the stream's 10 ms pauses would otherwise last a whole tick. Asked
// for while the library is loaded.
struct TimerResolution {
    TimerResolution() { ::timeBeginPeriod(1); }
    ~TimerResolution() { ::timeEndPeriod(1); }
};
TimerResolution g_timerResolution;

}  // namespace

void RaiseCurrentThreadPriority() { ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL); }

}  // namespace tivlo::platform::detail
