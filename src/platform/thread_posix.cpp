// Thread priority on Linux.
#include "platform/os_detail.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tivlo::platform::detail {

// Best effort: an unprivileged process may not raise a priority, and the
// threads work the same without it.
void RaiseCurrentThreadPriority() {
    pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid), -1);
}

}  // namespace tivlo::platform::detail
