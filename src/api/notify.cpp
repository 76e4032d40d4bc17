#include "api/notify.h"

#include "platform/window.h"

namespace tivlo::api {

void PostStarted(uintptr_t window, uint32_t count, uint32_t totalBlocks) {
    platform::PostHostMessage(window, kMsgTransferStarted, count, intptr_t(totalBlocks));
}

void PostEnded(uintptr_t window, uint32_t code, intptr_t lParam) {
    platform::PostHostMessage(window, kMsgTransferEnded, code, lParam);
}

void PostCurrentFile(uintptr_t window, const std::u16string& name) {
    platform::PostHostText(window, kMsgCurrentFile, 0, name);
}

void SendClientDiskFull(uintptr_t window, uint32_t receiverAddress) {
    platform::SendHostMessage(window, kMsgClientDiskFull, 112, intptr_t(receiverAddress));
}

void NotifyReceiverHost(uintptr_t window, uint32_t code, intptr_t lParam) {
    if (window == 0) return;
    PostEnded(window, code, lParam);
}

}  // namespace tivlo::api
