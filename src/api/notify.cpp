#include "api/notify.h"

#include "platform/window.h"
#include "tivlo/tivlo_codes.h"

namespace tivlo::api {

void WindowHost::Started(uint32_t count, uint32_t totalBlocks) {
    platform::PostHostMessage(window_, TIVLO_MSG_TRANSFER_STARTED, count, intptr_t(totalBlocks));
}

void WindowHost::Ended(uint32_t code, intptr_t lParam, bool final) {
    // The last message of a transfer is never dropped; a 1042 that finds
    // the queue full is (it is progress only).
    if (final) {
        platform::PostHostMessageReliably(window_, TIVLO_MSG_TRANSFER_ENDED, code, lParam, &cancel_);
    } else {
        platform::PostHostMessage(window_, TIVLO_MSG_TRANSFER_ENDED, code, lParam);
    }
}

void WindowHost::CurrentFile(const std::u16string& name) {
    platform::PostHostText(window_, TIVLO_MSG_CURRENT_FILE, 0, name);
}

void WindowHost::ClientDiskFull(uint32_t receiverAddress) {
    platform::SendHostMessage(window_, TIVLO_MSG_CLIENT_DISKFULL, TIVLO_CODE_DISK_FULL, intptr_t(receiverAddress),
                              &cancel_);
}

}  // namespace tivlo::api
