// The disk check of a Task: a fixed local disk with room for the task.
#include "platform/filesystem.h"
#include "platform/log.h"
#include "receiver/client_engine.h"
#include "tivlo/tivlo_codes.h"

namespace tivlo::receiver {

uint32_t ClientEngine::CheckDiskSpace(const std::u16string& root, uint64_t neededBytes) {
    // Only an absolute root can be a place on a disk: an empty root, or a
    // path of another system (D:\Incoming on a POSIX receiver), is none.
    if (!platform::IsLocalAbsolutePath(root) || !platform::IsFixedDisk(root)) return TIVLO_CODE_NOT_FIXED;

    uint64_t freeBytes = 0;
    if (!platform::FreeDiskBytes(root, &freeBytes)) {
        platform::Log("\n");
        platform::Log(root);
        platform::Log("\n");
        platform::Log("\nTivlo-----GetDiskFreeSpace false!\n");
        return 0;
    }
    if (freeBytes >= neededBytes) return 1;
    platform::Logf("\n@@ tosize  = %lu, DiskSize = %lu \n", static_cast<unsigned long>(neededBytes),
                   static_cast<unsigned long>(freeBytes & 0xFFFFFFFFu));
    platform::Log("\nTivlo-----No free space to write file!\n");
    return 0;
}

}  // namespace tivlo::receiver
