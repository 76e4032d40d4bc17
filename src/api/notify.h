// Host notifications: the messages both engines issue, delivered to the
// host's window.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "protocol/host_sink.h"

namespace tivlo::api {

// The engines' messages as window messages to one host window: 1039, 1040
// and 1042 posted, 1054 sent (the caller waits for the window procedure).
class WindowHost : public protocol::HostSink {
public:
    explicit WindowHost(uintptr_t window) : window_(window) {}
    void Started(uint32_t count, uint32_t totalBlocks) override;
    void Ended(uint32_t code, intptr_t lParam, bool final) override;
    void CurrentFile(const std::u16string& name) override;
    void ClientDiskFull(uint32_t receiverAddress) override;
    void CancelWaits() override { cancel_ = true; }
    void ResumeWaits() override { cancel_ = false; }

private:
    uintptr_t window_;
    std::atomic<bool> cancel_{false};
};

}  // namespace tivlo::api
