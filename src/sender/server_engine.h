// The sender's shell: the sockets, one engine thread, the clock and the file
// reads around SenderCore, and the host's calls (the exports).
//
// The engine thread waits on the answer socket until the core's next timer,
// hands it every answer and every due tick, and carries out what the core
// asks. The host's calls take the same lock. Messages that make the library
// wait for the host (1054, and the final 1040, which must not be lost) are
// delivered after the lock is released, so a host that calls back into the
// library from its handler never waits for itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "protocol/host_sink.h"
#include "sender/sender_core.h"

namespace tivlo::sender {

class ServerEngine {
public:
    ServerEngine();
    virtual ~ServerEngine();

    // ---- Settings stored by the exports ----
    uint32_t groupAddress = 0;  // network order
    uint32_t dataPort = 0;      // host order, low 16 bits used
    uint32_t targetMode = 0;
    std::u16string targetPath;
    uint32_t includeSubdirs = 0;
    uint32_t invalidNameFlag = 0;
    // Send rate in kilobits per second; 0 keeps the protocol's fixed pauses.
    std::atomic<uint32_t> sendRate{0};
    // Where the host's messages go (set by the exports before SetUp).
    void SetHost(std::shared_ptr<protocol::HostSink> host);

    // ---- The host's calls ----
    // Sockets and the probe for another sender; 0 on failure (its log line
    // written; 1006 posted when another sender was found).
    int SetUp(uint32_t interfaceAddress);
    int StartAckThread();
    // The three Collects, 100 ms apart; 0 when none could be sent.
    int CollectReceivers();
    int StoreTargetPath(uint32_t mode, const std::u16string& path);
    int SetSelectFiles(const std::vector<std::u16string>& paths);
    void BeginTransfer();
    void Stop();
    void DeInit();
    int GetErrInfo(uint32_t* out);
    // One more Collect (receivers that started late); 1 when it went out.
    int CollectOnce();
    // A copy of the roster, for hosts that report per receiver.
    std::vector<ReceiverRecord> Receivers();
    // The relative names of the files that changed length after StartSend.
    std::vector<std::u16string> ChangedFiles();

private:
    class Io;
    class DeferringHost;

    void Loop();
    void CloseSockets();
    std::shared_ptr<protocol::HostSink> Host();
    // Delivers the messages the core left for after the lock.
    void DeliverDeferred();
    // Runs the core's timers on the calling thread while pred holds and the
    // engine thread is not there to do it, at most limitMs.
    template <typename Pred>
    void Await(Pred pred, uint32_t limitMs);

    // Selection and transfer list (host's thread).
    int BuildTransferList();
    void WalkDirectory(const std::u16string& dir, TransferList& list, bool* dropped);
    void AddIfEmptyDirectory(const std::u16string& dir, TransferList& list);
    bool AddTransferEntry(const std::u16string& fullPath, const std::u16string& relativePosix, bool testIllegal,
                          TransferList& list, bool* dropped);
    protocol::NameField MakeNameField(const std::u16string& name) const;

    std::vector<std::u16string> selection_;
    int32_t prefixLength_ = 0;
    std::shared_ptr<TransferList> transferList_ = std::make_shared<TransferList>();
    uint32_t wideNames_ = 1;

    std::unique_ptr<Io> io_;
    std::shared_ptr<DeferringHost> host_;
    std::mutex lock_;  // the core and everything it touches
    std::recursive_mutex deliveryLock_;  // who hands the deferred messages on
    std::unique_ptr<SenderCore> core_;

    platform::UdpSocket sendSocket_;
    platform::UdpSocket receiveSocket_;
    platform::UdpSocket reportSocket_;
    platform::Endpoint groupEndpoint_;
    platform::Endpoint reportEndpoint_;
    platform::Thread thread_;
    std::atomic<bool> threadRunning_{false};
    std::atomic<bool> shutdown_{false};
};

}  // namespace tivlo::sender
