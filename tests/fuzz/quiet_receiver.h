// A receiver core's surroundings that answer nothing and keep nothing: fuzz
// targets and the core tests override what they watch.
#pragma once

#include "protocol/host_sink.h"
#include "receiver/receiver_core.h"

struct QuietReceiver : tivlo::receiver::ReceiverIo, tivlo::protocol::HostSink {
    bool Send(uint32_t, const uint8_t*, size_t) override { return true; }
    int ReadReport(uint8_t*, size_t, uint32_t*) override { return -1; }
    bool ResolveTarget(uint32_t, const std::u16string&, std::u16string*) override { return false; }
    bool AllowRoot(std::u16string*) override { return false; }
    uint32_t CheckDisk(const std::u16string&, uint64_t) override { return 0; }
    void BeginTask(uint32_t) override {}
    void OpenRoot(uint32_t, const std::u16string&) override {}
    void MakeDirectories(uint32_t, const std::u16string&) override {}
    bool Write(const tivlo::receiver::BlockWrite&, uint32_t) override { return true; }
    void Drain(uint32_t) override {}
    void Fatal() override {}
    void Started(uint32_t, uint32_t) override {}
    void Ended(uint32_t, intptr_t, bool) override {}
    void CurrentFile(const std::u16string&) override {}
    void ClientDiskFull(uint32_t) override {}
};
