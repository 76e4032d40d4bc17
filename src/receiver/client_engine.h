// The receiver's shell: the sockets, the receive thread and the write thread
// around ReceiverCore, and the host's calls (the exports).
//
// The receive thread is the core's only caller: it waits on the data socket
// until the core's next timer (while the stream flows, in short naps that
// take the datagrams in batches), hands it every datagram, tick and writer
// result, and carries out what the core asks. The write thread carries out
// the file operations in order from a pool of reused buffers (kBlockPool
// of them, 2048 by default: about 9.4 MiB), so a block costs no allocation.
// When every buffer waits for the disk, an arriving Data block waits a
// little for one, then is treated as lost and repaired later.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/file.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "protocol/host_sink.h"
#include "receiver/receiver_core.h"

namespace tivlo::receiver {

class Writer;

inline constexpr uint32_t kBlockPoolBlocks = 2048;
inline constexpr uint32_t kCsidlDesktop = 0;
inline constexpr uint32_t kCsidlCommonDesktop = 25;
inline constexpr uint32_t kCloseWaitMs = 5000;

// A root as the policy compares it: absolute, symbolic links resolved as far
// as the path exists, no "." or ".." left; false when it is none.
bool NormalizeRoot(const std::u16string& root, std::u16string* normalized);
// True when root lies in (or is) one of the allowed directories.
bool RootWithin(const std::u16string& root, const std::vector<std::u16string>& allowed);
// The same for a root already normalised.
bool NormalizedRootWithin(std::u16string root, const std::vector<std::u16string>& allowed);
// 1 on an NT-family system.
uint32_t IsNtPlatform();

class ClientEngine {
public:
    ClientEngine();
    virtual ~ClientEngine();
    ClientEngine(const ClientEngine&) = delete;
    ClientEngine& operator=(const ClientEngine&) = delete;

    // ---- Settings stored by the exports ----
    uint32_t groupAddress = 0;  // network order
    uint16_t dataPort = 0;      // host order
    void SetHost(std::shared_ptr<protocol::HostSink> host);
    // The receiver's policy over target roots: with a list set, a Task whose
    // root lies outside every directory of it is refused like a drive that
    // is not fixed. An empty list clears the policy. Kept across
    // initialisations.
    void SetAllowedRoots(const std::vector<std::u16string>& roots);

    // InitClient's initialisation; 1 when both sockets are ready.
    int Initialize(uint32_t interfaceAddress);
    // StartReceive: the receive thread, then the write thread.
    void StartThreads();
    // DeInitClient, and every fatal failure: stops the threads, leaves the
    // groups, closes the sockets. Runs once per initialisation.
    void CloseAll();

    // The folder a special-folder mode names for the user logged on here, as
    // a Task with that mode resolves it; false when it cannot be located.
    bool ResolveSpecialFolder(uint32_t mode, std::u16string* folder);

    // Test and benchmark hooks, set before Initialize: the pool's size, and a
    // call the write thread makes before each block (a slow disk).
    uint32_t blockPoolCapacity = kBlockPoolBlocks;
    std::function<void()> beforeWriteHook;
    // Test hook: datagrams the filter picks are dropped on arrival.
    void SetInboundFilter(platform::UdpSocket::InboundFilter filter) { dataSocket_.SetInboundFilter(std::move(filter)); }
    // Blocks treated as lost for want of a buffer.
    std::atomic<uint32_t> poolOverflows{0};

private:
    class Io;

    void ReceiveLoop();
    void Fatal();
    bool TargetRootAllowed(std::u16string* root);
    int ResolveTargetPath(uint32_t mode, const std::u16string& path, std::u16string* root);
    int MapProfilePath(std::u16string* path);
    uint32_t CheckDiskSpace(const std::u16string& root, uint64_t neededBytes);

    std::shared_ptr<protocol::HostSink> host_;
    std::shared_ptr<protocol::HostSink> nextHost_;
    std::mutex settingsLock_;
    std::vector<std::u16string> allowedRoots_;  // under settingsLock_; empty: no policy

    std::unique_ptr<Io> io_;
    std::unique_ptr<Writer> writer_;
    std::unique_ptr<ReceiverCore> core_;

    std::atomic<bool> stop_{false};
    std::atomic<bool> closed_{true};  // nothing to close before the first initialisation
    uint32_t interfaceAddr_ = 0;
    platform::UdpSocket dataSocket_;
    platform::UdpSocket reportSocket_;
    platform::Event receiveDone_;
    platform::Event writeDone_;

    // Threads last: they are joined before anything they use is destroyed.
    platform::Thread receiveThread_;
    platform::Thread writeThread_;
};

}  // namespace tivlo::receiver
