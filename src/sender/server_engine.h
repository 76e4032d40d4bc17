// The sender: one engine object that holds the sockets, threads, lists,
// roster and packet buffers of the sending side.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/socket.h"

namespace tivlo::sender {

inline constexpr int kRosterSize = 200;

struct ReceiverRecord {
    platform::Endpoint address;
    std::atomic<uint32_t> done{0};
    std::atomic<uint32_t> pending{0};
    std::atomic<uint32_t> errorCode{0};
};

class ServerEngine {
public:
    ServerEngine();
    virtual ~ServerEngine();

    // Settings stored by the exports.
    uintptr_t hostWindow = 0;
    uint32_t groupAddress = 0;  // network order
    uint32_t dataPort = 0;      // host order, low 16 bits used
    uint32_t targetMode = 0;
    std::u16string targetPath;
    uint32_t includeSubdirs = 0;
    uint32_t invalidNameFlag = 0;
    std::atomic<uint32_t> awaitingFirstCompletion{0};
    std::atomic<uint32_t> finishedFlag{0};

    std::atomic<int32_t> receiverCount{0};
    ReceiverRecord roster[kRosterSize];

    // Operations the exports call.
    int SetUp(uint32_t interfaceAddress);
    int StartAckThread();
    int CollectReceivers();
    void BeginTransfer();
    void AbortTransfer();
    void CloseSockets();
    // SetTargetPath: 0 (former path kept) when the path does not fit the
    // Task's name field.
    int StoreTargetPath(uint32_t mode, const std::u16string& path);
    int SetSelectFiles(const std::vector<std::u16string>& paths);
    // StopSend: aborts and stops every thread of the transfer.
    void Stop();
    // DeInitServer: stops and joins every thread, then closes the sockets.
    void DeInit();
    int GetErrInfo(uint32_t* out) const;
};

}  // namespace tivlo::sender
