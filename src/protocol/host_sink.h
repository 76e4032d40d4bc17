// What the engines tell their host. The api layer implements it with the
// host's window (messages 1039, 1040, 1042 and 1054); the simulator records
// it.
#pragma once

#include <cstdint>
#include <string>

namespace tivlo::protocol {

class HostSink {
public:
    virtual ~HostSink() = default;
    // 1039: transfer started (receivers or files; total blocks).
    virtual void Started(uint32_t count, uint32_t totalBlocks) = 0;
    // 1040: transfer ended with a code; lParam 1 marks a receiver's own
    // completion. final: the last message of this transfer, which must not
    // be lost.
    virtual void Ended(uint32_t code, intptr_t lParam, bool final) = 0;
    // 1042: the current file's relative name.
    virtual void CurrentFile(const std::u16string& name) = 0;
    // 1054 (sender): a receiver gave up; delivered synchronously.
    virtual void ClientDiskFull(uint32_t receiverAddress) = 0;
    // A tear-down has begun: a synchronous delivery under way gives up.
    virtual void CancelWaits() {}
    // The tear-down is over: waits are kept again.
    virtual void ResumeWaits() {}
};

}  // namespace tivlo::protocol
