// Host notifications: the messages both engines issue to their host's window.
#pragma once

#include <cstdint>
#include <string>

namespace tivlo::api {

inline constexpr uint32_t kMsgTransferStarted = 1039;
inline constexpr uint32_t kMsgTransferEnded = 1040;
inline constexpr uint32_t kMsgCurrentFile = 1042;
inline constexpr uint32_t kMsgClientDiskFull = 1054;  // WM_CLIENT_DISKFULL, sent

// Posted: queued, the caller does not wait.
void PostStarted(uintptr_t window, uint32_t count, uint32_t totalBlocks);
void PostEnded(uintptr_t window, uint32_t code, intptr_t lParam = 0);
void PostCurrentFile(uintptr_t window, const std::u16string& name);
// Sent: the caller waits until the host's window procedure has returned.
void SendClientDiskFull(uintptr_t window, uint32_t receiverAddress);

// The receiver's rule: its 1040 failure messages go out only when it has a
// window (the completion message and 1039/1042 do not pass here).
void NotifyReceiverHost(uintptr_t window, uint32_t code, intptr_t lParam);

}  // namespace tivlo::api
