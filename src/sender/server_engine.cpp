// The sender's shell: the engine thread, the file reads, the deferred host
// messages and the host's calls.
#include "sender/server_engine.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "platform/log.h"
#include "protocol/blocks.h"

namespace tivlo::sender {

using protocol::Time;

namespace {

// The longest the engine thread waits before it looks at its flags.
constexpr Time kMaxWait = protocol::Ms(100);

Time Now() { return platform::NowNs(); }

}  // namespace

// The files of the transfer list. The stream reads each file in chunks of
// whole blocks, so a block costs a copy instead of a read of its own.
class ServerEngine::Io : public SenderIo {
public:
    static constexpr size_t kChunkBytes = 64 * size_t(protocol::kBlockSize);

    explicit Io(ServerEngine& e) : e_(e) {}

    std::shared_ptr<const TransferList> list;

    bool Send(const uint8_t* data, size_t length, const platform::Endpoint& to) override {
        return e_.sendSocket_.SendTo(data, length, to);
    }
    bool SendReport(const uint8_t* data, size_t length) override {
        return e_.reportSocket_.SendTo(data, length, e_.reportEndpoint_);
    }
    void CloseSockets() override {
        e_.sendSocket_.Close();
        e_.receiveSocket_.Close();
        e_.reportSocket_.Close();
    }
    int64_t FileLength(uint32_t file) override {
        const std::u16string* path = Path(file);
        if (path == nullptr) return -1;
        platform::File f;
        if (!f.OpenRead(*path, true)) return 0;
        const int64_t length = f.Length();
        return length < 0 ? 0 : length;
    }
    bool OpenFile(Reader reader, uint32_t file) override {
        const std::u16string* path = Path(file);
        OpenState& r = Of(reader);
        r.file.Close();
        r.have = r.used = 0;
        r.next = 0;
        return path != nullptr && r.file.OpenRead(*path, reader == Reader::Repair);
    }
    size_t ReadFile(Reader reader, uint64_t offset, uint8_t* out, size_t length) override {
        OpenState& r = Of(reader);
        if (reader == Reader::Repair || offset != r.next) {
            // Anywhere in the file: a seek and a read of its own.
            r.have = r.used = 0;
            r.next = offset;
            if (!r.file.Seek(int64_t(offset))) return 0;
            const size_t n = ReadFully(r.file, out, length);
            r.next = offset + n;
            return n;
        }
        size_t got = 0;
        while (got < length) {
            if (r.used == r.have) {
                if (!r.chunk) r.chunk.reset(new uint8_t[kChunkBytes]);
                r.have = ReadFully(r.file, r.chunk.get(), kChunkBytes);
                r.used = 0;
                if (r.have == 0) break;
            }
            const size_t n = std::min(length - got, r.have - r.used);
            std::memcpy(out + got, r.chunk.get() + r.used, n);
            r.used += n;
            got += n;
        }
        r.next = offset + got;
        return got;
    }
    void CloseFile(Reader reader) override { Of(reader).file.Close(); }

private:
    struct OpenState {
        platform::File file;
        std::unique_ptr<uint8_t[]> chunk;
        size_t have = 0;
        size_t used = 0;
        uint64_t next = 0;
    };
    OpenState& Of(Reader r) { return r == Reader::Stream ? stream_ : repair_; }
    const std::u16string* Path(uint32_t file) const {
        if (!list || file == 0 || file > list->files.size()) return nullptr;
        return &list->files[file - 1].fullPath;
    }
    // Up to length bytes; fewer only at the end of the file (a read error
    // ends the block there, as a short read would).
    static size_t ReadFully(platform::File& f, uint8_t* out, size_t length) {
        size_t got = 0;
        while (got < length) {
            const int64_t n = f.Read(out + got, length - got);
            if (n <= 0) break;
            got += size_t(n);
        }
        return got;
    }

    ServerEngine& e_;
    OpenState stream_;
    OpenState repair_;
};

// Hands the host's messages on at once, except those that make the library
// wait (1054, and the final 1040): they are kept for after the lock.
class ServerEngine::DeferringHost : public protocol::HostSink {
public:
    std::shared_ptr<protocol::HostSink> host;
    struct Deferred {
        bool diskFull = false;
        uint32_t value = 0;  // address or code
    };
    std::deque<Deferred> deferred;  // under the engine's lock

    void Started(uint32_t count, uint32_t totalBlocks) override {
        if (host) host->Started(count, totalBlocks);
    }
    void Ended(uint32_t code, intptr_t lParam, bool final) override {
        if (!final) {
            if (host) host->Ended(code, lParam, false);
            return;
        }
        deferred.push_back({false, code});
    }
    void CurrentFile(const std::u16string& name) override {
        if (host) host->CurrentFile(name);
    }
    void ClientDiskFull(uint32_t address) override { deferred.push_back({true, address}); }
};

ServerEngine::ServerEngine()
    : io_(std::make_unique<Io>(*this)),
      host_(std::make_shared<DeferringHost>()),
      core_(std::make_unique<SenderCore>(*io_, *host_)) {}

// The library may be unloaded after DeInitServer only; a host that skips it
// still must not leave a thread running on a destroyed engine.
ServerEngine::~ServerEngine() { DeInit(); }

void ServerEngine::SetHost(std::shared_ptr<protocol::HostSink> host) {
    std::lock_guard<std::mutex> lock(lock_);
    host_->host = std::move(host);
}

void ServerEngine::CloseSockets() { io_->CloseSockets(); }

std::shared_ptr<protocol::HostSink> ServerEngine::Host() {
    std::lock_guard<std::mutex> lock(lock_);
    return host_->host;
}

void ServerEngine::DeliverDeferred() {
    // One thread at a time hands them on, in order. One that finds another
    // delivering leaves the queue to it: that one may wait for a host whose
    // handler called into the library (StopSend from its 1054), and it
    // delivers whatever is queued before it stops.
    std::unique_lock<std::recursive_mutex> delivering(deliveryLock_, std::try_to_lock);
    if (!delivering.owns_lock()) return;
    for (;;) {
        DeferringHost::Deferred d;
        std::shared_ptr<protocol::HostSink> host;
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (host_->deferred.empty()) return;
            d = host_->deferred.front();
            host_->deferred.pop_front();
            host = host_->host;
        }
        if (!host) continue;
        if (d.diskFull) {
            host->ClientDiskFull(d.value);
        } else {
            host->Ended(d.value, 0, true);
        }
    }
}

template <typename Pred>
void ServerEngine::Await(Pred pred, uint32_t limitMs) {
    const Time deadline = Now() + protocol::Ms(limitMs);
    for (;;) {
        Time wait;
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (!pred()) break;
            const Time now = Now();
            if (now >= deadline) break;
            if (!threadRunning_.load()) {
                // Nobody else runs the core's timers.
                if (core_->NextWake() <= now) core_->OnTick(now);
            }
            const Time next = std::min(core_->NextWake(), deadline);
            wait = std::clamp<Time>(next > now ? next - now : 0, protocol::Ms(1), protocol::Ms(10));
        }
        DeliverDeferred();
        platform::SleepNs(wait);
    }
    DeliverDeferred();
}

void ServerEngine::Loop() {
    uint8_t buffer[protocol::kAnswerReadSize];
    for (;;) {
        Time wait;
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (shutdown_.load()) break;
            const Time now = Now();
            if (core_->NextWake() <= now) core_->OnTick(now);
            const Time next = core_->NextWake();
            wait = next <= now ? 0 : std::min(next - now, kMaxWait);
        }
        DeliverDeferred();
        if (wait == 0) continue;
        if (!receiveSocket_.IsOpen()) {
            // The sockets are closed: only the core's timers are left.
            platform::SleepNs(wait);
            continue;
        }
        platform::Endpoint from;
        const int got = receiveSocket_.ReceiveFromTimeoutNs(buffer, sizeof buffer, &from, wait);
        if (got < 0) continue;
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (shutdown_.load()) break;
            core_->OnAnswer(Now(), from, buffer, size_t(got));
        }
        DeliverDeferred();
    }
}

int ServerEngine::StartAckThread() {
    shutdown_ = false;
    threadRunning_ = true;
    if (!thread_.Start([this] { Loop(); }, platform::ThreadPriority::AboveNormal)) {
        threadRunning_ = false;
        platform::Log("\nTivlo------Create the Receive Thread Failed!\n");
        io_->CloseSockets();
        return 0;
    }
    return 1;
}

int ServerEngine::CollectReceivers() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        core_->Open(Now(), groupEndpoint_, wideNames_,
                    sendRate.load() != 0 ? SenderCore::kRateCollectPause : SenderCore::kCollectPause);
    }
    receiveSocket_.Interrupt();
    Await([this] { return core_->Collecting(); }, 2000);
    std::lock_guard<std::mutex> lock(lock_);
    return core_->CollectFailed() ? 0 : 1;
}

void ServerEngine::BeginTransfer() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        io_->list = transferList_;
        core_->StartSend(Now(), transferList_, targetMode, MakeNameField(targetPath), sendRate.load());
    }
    // The engine thread waits for the schedule it knew: it looks again.
    receiveSocket_.Interrupt();
    // StartSend returns once the receivers were told of the task and the
    // host's 1039 is on its way.
    Await([this] { return core_->Announcing(); }, 5000);
}

void ServerEngine::Stop() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        core_->StopSend(Now());
    }
    receiveSocket_.Interrupt();
    // StopSend returns once the receivers were told and the host's 1040 is
    // on its way.
    Await([this] { return core_->Aborting(); }, 1000);
}

void ServerEngine::DeInit() {
    shutdown_ = true;
    // The engine thread may be delivering a 1054 to a host that is itself
    // in here (DeInitServer from its window procedure): that delivery gives
    // up rather than wait for us.
    if (auto host = Host()) host->CancelWaits();
    receiveSocket_.Close();  // wakes the engine thread
    thread_.Join();
    threadRunning_ = false;
    // Only the tear-down gives up on the host: the next session's 1054
    // waits for its handler again.
    if (auto host = Host()) host->ResumeWaits();
    sendSocket_.Close();
    reportSocket_.Close();
    std::lock_guard<std::mutex> lock(lock_);
    io_->CloseFile(Reader::Stream);
    io_->CloseFile(Reader::Repair);
}

int ServerEngine::GetErrInfo(uint32_t* out) {
    std::lock_guard<std::mutex> lock(lock_);
    return core_->GetErrInfo(out);
}

std::vector<ReceiverRecord> ServerEngine::Receivers() {
    std::lock_guard<std::mutex> lock(lock_);
    const Roster& roster = core_->roster();
    std::vector<ReceiverRecord> records;
    for (int32_t i = 0; i < roster.count(); ++i) records.push_back(roster[i]);
    return records;
}

int ServerEngine::CollectOnce() {
    std::lock_guard<std::mutex> lock(lock_);
    return core_->Collect() ? 1 : 0;
}

std::vector<std::u16string> ServerEngine::ChangedFiles() {
    std::lock_guard<std::mutex> lock(lock_);
    std::vector<std::u16string> names;
    for (uint32_t file : core_->changedFiles()) names.push_back(core_->list()->files[file - 1].relativeName);
    return names;
}

int ServerEngine::StoreTargetPath(uint32_t mode, const std::u16string& path) {
    // The Task's name field holds 259 UTF-16 characters and the terminator.
    if (path.size() > protocol::kMaxWideNameUnits - 1) {
        platform::Log("\nTivlo-----Target path too long, former path kept!\n");
        return 0;
    }
    targetMode = mode;
    targetPath = path;
    return 1;
}

}  // namespace tivlo::sender
