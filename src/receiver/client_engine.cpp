// The receiver's shell: initialisation, the threads, the receive loop and the
// tear-down, and what the core asks of the machine.
#include "receiver/client_engine.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/log.h"
#include "receiver/client_write.h"

namespace tivlo::receiver {

using protocol::Time;

namespace {

// 8 MiB rather than 1 MiB: at a set send rate of 1 Gbit/s a 1 MiB buffer
// holds 8 ms of the stream, less than a busy machine may keep the receive
// thread from running; every datagram dropped there is a block to repair.
// Without the privilege to force it, the system's limit applies.
constexpr int kDataReceiveBuffer = 8 * 1048576;
constexpr int kReportReceiveBuffer = 512;
// The longest wait on the data socket, so that a tear-down is seen even
// when the group is silent; shorter while the writer drains.
constexpr Time kReceivePoll = protocol::Ms(200);
constexpr Time kDrainPoll = protocol::Ms(2);
// While the stream flows, the data socket is looked at every half
// millisecond rather than woken per datagram (at 1 Gbit/s, 13 blocks a
// batch; the buffer holds 16 ms of the stream).
constexpr Time kDataBatchWait = protocol::Us(500);

Time Now() { return platform::NowNs(); }

}  // namespace

class ClientEngine::Io : public ReceiverIo {
public:
    explicit Io(ClientEngine& e) : e_(e) {}

    bool Send(uint32_t toAddr, const uint8_t* data, size_t length) override {
        return e_.dataSocket_.SendTo(data, length, {toAddr, uint16_t(e_.dataPort + protocol::kAnswerPortOffset)});
    }
    int ReadReport(uint8_t* buffer, size_t capacity, uint32_t* fromAddr) override {
        platform::Endpoint from;
        const int got = e_.reportSocket_.ReceiveFrom(buffer, capacity, &from);
        if (got >= 0) *fromAddr = from.addr;
        return got < 0 ? -1 : got;
    }
    bool ResolveTarget(uint32_t mode, const std::u16string& path, std::u16string* root) override {
        return e_.ResolveTargetPath(mode, path, root) != 0;
    }
    bool AllowRoot(std::u16string* root) override { return e_.TargetRootAllowed(root); }
    uint32_t CheckDisk(const std::u16string& root, uint64_t neededBytes) override {
        return e_.CheckDiskSpace(root, neededBytes);
    }
    void BeginTask(uint32_t generation) override { e_.writer_->BeginTask(generation); }
    void OpenRoot(uint32_t generation, const std::u16string& root) override { e_.writer_->OpenRoot(generation, root); }
    void MakeDirectories(uint32_t generation, const std::u16string& relative) override {
        e_.writer_->MakeDirectories(generation, relative);
    }
    bool Write(const BlockWrite& block, uint32_t waitMs) override {
        if (e_.writer_->Write(block, waitMs)) return true;
        e_.poolOverflows.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    void Drain(uint32_t token) override { e_.writer_->Drain(token); }
    void Fatal() override { e_.Fatal(); }

private:
    ClientEngine& e_;
};

ClientEngine::ClientEngine() : io_(std::make_unique<Io>(*this)), writer_(std::make_unique<Writer>()) {}

ClientEngine::~ClientEngine() {
    // A host that never called DeInitClient still gets its threads stopped
    // and joined before the fields they use go away.
    CloseAll();
    receiveThread_.Join();
    writeThread_.Join();
}

// Taken by the next initialisation, once the threads of the former one,
// which still speak to their host, have ended.
void ClientEngine::SetHost(std::shared_ptr<protocol::HostSink> host) { nextHost_ = std::move(host); }

void ClientEngine::SetAllowedRoots(const std::vector<std::u16string>& roots) {
    std::lock_guard<std::mutex> lock(settingsLock_);
    allowedRoots_ = roots;
}

int ClientEngine::Initialize(uint32_t interfaceAddress) {
    // A second initialisation without DeInitClient tears the first down; a
    // thread that ran CloseAll itself is joined now.
    CloseAll();
    receiveThread_.Join();
    writeThread_.Join();
    if (nextHost_) host_ = std::move(nextHost_);

    writer_->Allocate(blockPoolCapacity);
    writer_->Reset();
    receiveDone_.Reset();
    writeDone_.Reset();
    stop_ = false;
    interfaceAddr_ = interfaceAddress;
    core_ = std::make_unique<ReceiverCore>(*io_, *host_, IsNtPlatform());

    // The data socket. It binds any address: a socket bound to a unicast
    // address receives no multicast here; the interface address names the
    // interface for the membership and for sending.
    if (!dataSocket_.Open()) {
        platform::Log("\n@@-----Create socket failed\n");
        return 0;
    }
    closed_ = false;
    if (!dataSocket_.SetReuseAddress()) {
        platform::Log("\n@@-----setsockeopt failed\n");
        dataSocket_.Close();
        closed_ = true;
        return 0;
    }
    auto fail = [this](const char* line) {
        platform::Log(line);
        CloseAll();
        return 0;
    };
    if (!dataSocket_.Bind(0, dataPort)) return fail("\n@@-----Bind socket with sockaddr_in failed\n");
    (void)dataSocket_.SetReceiveBuffer(kDataReceiveBuffer);
    dataSocket_.SetBatchWait(kDataBatchWait);
    if (!dataSocket_.SetMulticastInterface(interfaceAddress)) return fail("\n@@-----setsockeopt failed\n");
    if (!dataSocket_.JoinGroup(groupAddress, interfaceAddress))
        return fail("\n@@-----setsockopt add membership failed\n");
    if (!dataSocket_.SetMulticastTtl(protocol::kMulticastTtl)) return fail("\n@@-----setsockopt TTL failed\n");

    // The report socket: non-blocking, read once per check of the heartbeat.
    if (!reportSocket_.Open()) return fail("\nTivlo------Create Receive Report Socket Failed!\n");
    if (!reportSocket_.SetReuseAddress())
        return fail("\nTivlo------Set Receive report Socket Resuse Address Failed!\n");
    if (!reportSocket_.Bind(0, protocol::kReportPort))
        return fail("\nTivlo-----Bind Receive report socket with host Address Failed!\n");
    if (!reportSocket_.SetMulticastInterface(interfaceAddress))
        return fail("\nTivlo-----Receive Report Socket Can not support MultiCast!\n");
    if (!reportSocket_.JoinGroup(protocol::kReportGroup, interfaceAddress))
        return fail("\nTivlo-----Add Receive report IP to Membership failed\n");
    if (!reportSocket_.SetMulticastTtl(protocol::kMulticastTtl))
        return fail("\nTivlo-----Set Receive report Socket TTL Failed!\n");
    if (!reportSocket_.SetReceiveBuffer(kReportReceiveBuffer))
        return fail("\nTivlo-----Set Receive report Socket Buffer Failed!\n");
    if (!reportSocket_.SetNonBlocking()) return fail("\nTivlo-----Set Receive report WSAAsyncSelect Failed!\n");
    return 1;
}

void ClientEngine::StartThreads() {
    // Only after a successful initialisation, and once per initialisation.
    if (closed_.load() || receiveThread_.Running() || writeThread_.Running()) return;
    receiveThread_.Start([this] { ReceiveLoop(); }, platform::ThreadPriority::AboveNormal);
    writeThread_.Start([this] {
        writer_->Run(beforeWriteHook);
        writeDone_.Set();
    });
}

void ClientEngine::ReceiveLoop() {
    std::vector<uint8_t> buffer(protocol::kMaxDatagram, 0);
    ReceiverCore& core = *core_;
    for (;;) {
        if (stop_.load()) break;
        WriteResult result;
        while (writer_->TakeResult(&result)) core.OnWriteResult(Now(), result);
        if ((core.Done() && !core.Lingering()) || core.Stopped()) break;
        const Time now = Now();
        if (core.NextWake() <= now) core.OnTick(now);
        const Time next = core.NextWake();
        Time wait = next <= now ? 0 : std::min(next - now, kReceivePoll);
        if (core.Ended() && !core.Done()) wait = std::min(wait, kDrainPoll);
        if ((core.Ended() && !core.Done()) || !dataSocket_.IsOpen()) {
            // Only timers and the writer's answer are awaited now.
            platform::SleepNs(std::max<Time>(wait, 1));
            continue;
        }
        platform::Endpoint from;
        const int got = dataSocket_.ReceiveFromTimeoutNs(buffer.data(), buffer.size(), &from, std::max<Time>(wait, 1));
        if (got < 0) continue;
        core.OnDatagram(Now(), from, buffer.data(), size_t(got));
    }
    receiveDone_.Set();
}

void ClientEngine::Fatal() {
    // On the receive thread: it ends at its next look at the flag; CloseAll
    // from the host does the rest.
    stop_ = true;
    writer_->Stop();
}

void ClientEngine::CloseAll() {
    if (closed_.exchange(true)) return;
    platform::Log("-------------CloseAll");
    stop_ = true;
    writer_->Stop();
    platform::Log("-------------Before WaitResult");
    // A thread that runs this itself cannot signal its own end meanwhile.
    if (receiveThread_.IsCurrent()) {
        writeDone_.Wait(kCloseWaitMs);
    } else if (writeThread_.IsCurrent()) {
        receiveDone_.Wait(kCloseWaitMs);
    } else if (receiveThread_.Running() || writeThread_.Running()) {
        platform::WaitBoth(receiveDone_, writeDone_, kCloseWaitMs);
    } else {
        // No thread was started, so none can cut the wait short.
        platform::SleepMs(kCloseWaitMs);
    }
    platform::Log("-------------After WaitResult");
    if (!dataSocket_.LeaveGroup(groupAddress, interfaceAddr_)) platform::Log("\n@@-----setsockopt err in closeall\n");
    // Closing wakes a receive in progress.
    dataSocket_.Close();
    platform::SleepMs(10);
    reportSocket_.Close();
    // The thread running this (a failed Finish) is joined by the next
    // initialisation or by the destructor.
    if (!receiveThread_.IsCurrent()) receiveThread_.Join();
    if (!writeThread_.IsCurrent()) writeThread_.Join();
    platform::Log("-------------DestoryAll");
    writer_->Reset();
}

}  // namespace tivlo::receiver
