#include "sim/sim.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <queue>
#include <random>
#include <set>
#include <sstream>
#include <unordered_map>

#include "protocol/blocks.h"
#include "protocol/packets.h"
#include "receiver/receiver_core.h"
#include "sender/sender_core.h"
#include "tivlo/tivlo_codes.h"

namespace tivlo::sim {

namespace {

using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

constexpr uint32_t kSenderAddr = protocol::IPv4(10, 0, 0, 1);
constexpr uint32_t kStrangerAddr = protocol::IPv4(10, 0, 9, 9);
constexpr uint16_t kPort = protocol::kDefaultDataPort;
const std::u16string kRoot = u"/target";

uint32_t ReceiverAddr(size_t i) { return protocol::IPv4(10, 0, 1, uint8_t(1 + i % 250)) + uint32_t(i / 250); }

// The source files' bytes: a function of the file and the offset.
uint8_t ContentByte(uint32_t file, uint64_t offset) {
    uint64_t x = (offset + 1) * 0x9E3779B97F4A7C15ull ^ (uint64_t(file) << 40);
    x ^= x >> 29;
    return uint8_t(x * 0xBF58476D1CE4E5B9ull >> 56);
}

std::u16string Ascii(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Where a receiver writes a name of the wire ("\\dir\\file").
std::u16string Target(const std::u16string& relative) {
    std::u16string path = kRoot + relative;
    std::replace(path.begin() + kRoot.size(), path.end(), u'\\', u'/');
    return path;
}

// A file as a receiver's disk holds it: its length, and the bytes written
// in each block (with the right content, or `damage` says otherwise).
struct FileModel {
    uint64_t length = 0;
    std::map<uint32_t, uint64_t> blocks;
    std::string damage;

    void Truncate(uint64_t to) {
        length = std::min(length, to);
        blocks.erase(blocks.lower_bound(Holding(to)), blocks.end());
        if (!blocks.empty()) {
            auto& [last, bytes] = *blocks.rbegin();
            bytes = std::min(bytes, to - protocol::BlockOffset(last));
        }
    }
    // What keeps it from being a copy of `expected` bytes (empty: nothing):
    // every block that holds some of them must be there, each whole.
    std::string Problem(uint64_t expected) const {
        if (!damage.empty()) return damage;
        uint64_t total = 0;
        for (const auto& [block, bytes] : blocks) total += bytes;
        const bool covers = expected == 0 || (blocks.size() == Holding(expected) &&
                                              blocks.rbegin()->first + 1 == blocks.size() && total == expected);
        if (length == expected && covers) return "";
        return "length " + std::to_string(length) + " or gaps, expected " + std::to_string(expected);
    }
    static uint32_t Holding(uint64_t bytes) { return uint32_t((bytes + protocol::kBlockSize - 1) / protocol::kBlockSize); }
};

struct Source {
    std::u16string relative;  // "\sample\..." as on the wire
    uint64_t length = 0;      // as it is when the transfer starts
    uint64_t lengthLater = 0; // as the stream and repairs find it
};

struct Event {
    enum Kind : uint8_t {
        ToReceiver, ToReport, ToSender, SenderTimer, ReceiverTimer, WriterResult,
        // What the plan makes happen.
        StartSend, StopSend, StartReceive, HostileDatagram, SenderDies, StrangerAck
    } kind;
    Time at = 0;
    uint64_t seq = 0;
    size_t host = 0;
    uint32_t from = 0;
    uint64_t token = 0;
    Bytes data{};
    receiver::WriteResult result{};
    bool operator>(const Event& o) const { return at != o.at ? at > o.at : seq > o.seq; }
};

class World;

// What the sender and a receiver have alike: the host messages they take
// the same way, and the timer event that stands for the core's next wake.
struct Host : protocol::HostSink {
    explicit Host(World& w) : w_(w) {}
    void Started(uint32_t, uint32_t) override { toldStarted = true; }
    void ClientDiskFull(uint32_t) override {}

    World& w_;
    bool toldStarted = false;
    Time scheduled = kNever;  // the wake the current timer event is for
    uint64_t token = 0;       // which timer event is current
};

class SenderSide;
class ReceiverSide;

class World {
public:
    explicit World(const Plan& plan);
    Result Run();

    // Whether a datagram on this link is lost; otherwise when it arrives
    // (twice when duplicated).
    void Carry(const Link& link, bool& inBurst, Time now, Event e);
    void Push(Event e) {
        e.seq = ++seq_;
        queue_.push(std::move(e));
    }
    Time now() const { return now_; }
    // With traceWire: a datagram the sender sent or heard.
    void Trace(Time at, bool toSender, uint32_t addr, const uint8_t* data, size_t length);

    const Plan& plan;
    std::vector<Source> sources;
    std::vector<std::u16string> emptyDirs;
    std::shared_ptr<sender::TransferList> list = std::make_shared<sender::TransferList>();
    std::unique_ptr<SenderSide> sender;
    std::vector<std::unique_ptr<ReceiverSide>> receivers;
    Result result;
    Bytes lastDatagram;  // for hostile copies

private:
    void Handle(const Event& e);
    void Hostile();
    // A datagram reaches the sender's answer port.
    void Answer(uint32_t from, const uint8_t* data, size_t length);
    void Schedule(Event::Kind kind, Time at, size_t host = 0) { Push({.kind = kind, .at = at, .host = host}); }
    void Reschedule(Host& side, Time next, Event::Kind kind, size_t host);
    void RescheduleSender();
    void RescheduleReceiver(ReceiverSide& r);

    std::priority_queue<Event, std::vector<Event>, std::greater<Event>> queue_;
    uint64_t seq_ = 0;
    Time now_ = 0;
    std::mt19937_64 rng_;
};

double Uniform(std::mt19937_64& rng) { return std::uniform_real_distribution<double>(0, 1)(rng); }

// A receiver, its writer and disk, and its host.
class ReceiverSide : public receiver::ReceiverIo, public Host {
public:
    ReceiverSide(World& w, size_t i, const ReceiverPlan& p) : Host(w), index(i), addr(ReceiverAddr(i)), plan(p) {
        core = std::make_unique<receiver::ReceiverCore>(*this, *this, p.narrow ? 0 : 1, w.plan.repairWindow);
    }

    bool Send(uint32_t toAddr, const uint8_t* data, size_t length) override {
        if (stopped) return false;
        // A silent or dead host's datagrams, and answers to a stranger, go nowhere.
        if (!Hears(w_.now()) || toAddr != kSenderAddr) return true;
        auto bytes = std::make_shared<std::vector<uint8_t>>(data, data + std::min<size_t>(length, 11));
        if (plan.rogue && length == protocol::ack::kSize && data[2] == protocol::kAck) {
            protocol::PutU32(&(*bytes)[protocol::ack::kFile], 1);
            protocol::PutU32(&(*bytes)[protocol::ack::kBlock], 0);
        }
        w_.Carry(plan.up, upBurst, w_.now(), {.kind = Event::ToSender, .host = index, .from = addr, .data = bytes});
        return true;
    }
    int ReadReport(uint8_t* buffer, size_t capacity, uint32_t* fromAddr) override {
        if (reports.empty()) return -1;
        auto& [from, bytes] = reports.front();
        const size_t n = std::min(capacity, bytes.size());
        std::memcpy(buffer, bytes.data(), n);
        *fromAddr = from;
        reports.pop_front();
        return int(n);
    }
    bool ResolveTarget(uint32_t mode, const std::u16string& path, std::u16string* root) override {
        if (mode == receiver::kAllBitsMode) *root = path;
        return mode == receiver::kAllBitsMode;
    }
    bool AllowRoot(std::u16string* root) override { return *root == kRoot; }
    uint32_t CheckDisk(const std::u16string&, uint64_t needed) override {
        return plan.fixedDisk ? uint32_t(needed <= plan.freeBytes) : TIVLO_CODE_NOT_FIXED;
    }
    void BeginTask(uint32_t generation) override {
        writerGeneration = generation;
        directoryPackets = 0;  // only its own task's packets count
    }
    void OpenRoot(uint32_t generation, const std::u16string& root) override {
        if (generation == writerGeneration) writerRoot = root;
    }
    void MakeDirectories(uint32_t generation, const std::u16string& relative) override {
        if (generation != writerGeneration) return;
        std::u16string path = Place(relative);
        while (!path.empty() && path.back() == u'/') path.pop_back();
        directories.insert(path);
    }
    bool Write(const receiver::BlockWrite& b, uint32_t waitMs) override {
        const Time now = w_.now();
        if (plan.diskBlocksPerSecond != 0) {
            // The writer's queue: what the disk has not written yet waits in the
            // buffers; a block that finds none free within its wait is refused.
            const Time per = Ms(1000) / plan.diskBlocksPerSecond;
            const Time backlog = diskFreeAt > now ? diskFreeAt - now : 0;
            if (backlog >= Time(plan.bufferBlocks) * per + Ms(waitMs)) return false;
            diskFreeAt = std::max(diskFreeAt, now) + per;
        }
        if (b.generation != writerGeneration) return true;
        const std::u16string path = Place(*b.path);
        FileModel& f = files[path];
        if (opened.insert({b.generation, b.file}).second) f.Truncate(protocol::BlockOffset(b.lastIndex) + b.lastLength);
        const uint64_t offset = protocol::BlockOffset(b.block);
        // The bytes must be those of the source file that this path names.
        const std::vector<Source>& sources = w_.sources;
        const auto source =
            std::find_if(sources.begin(), sources.end(), [&](const Source& s) { return Target(s.relative) == path; });
        const uint32_t id = source != sources.end() ? uint32_t(source - sources.begin()) + 1 : 0;
        // A file that shrank meanwhile is sent filled with zeros.
        auto expected = [&](uint64_t at) { return at < source->lengthLater ? ContentByte(id, at) : uint8_t(0); };
        // Every byte, or the first, middle and last of the block.
        const uint32_t n = b.length;
        for (uint32_t i = 0; i < n; i = w_.plan.verifyEveryByte ? i + 1 : i < n / 2 ? n / 2 : std::max(i + 1, n - 1)) {
            if (id == 0 || b.data[i] != expected(offset + i)) {
                if (f.damage.empty()) f.damage = "wrong bytes at " + std::to_string(offset + i);
                break;
            }
        }
        f.length = std::max(f.length, offset + b.length);
        if (b.length > 0) f.blocks[b.block] = b.length;
        return true;
    }
    void Drain(uint32_t t) override {
        w_.Push({.kind = Event::WriterResult, .at = std::max(w_.now(), diskFreeAt) + Ms(1), .host = index,
                 .result = {receiver::WriteResult::Drained, 0, 0, t}});
    }
    void Fatal() override { stopped = true; }

    void Ended(uint32_t code, intptr_t lParam, bool final) override {
        lastCode = code;
        tasksEnded += final;
        toldComplete |= lParam == 1;
        toldFailure |= lParam != 1 && (final || code != 0);
    }
    void CurrentFile(const std::u16string& name) override { heard.insert(name); }

    bool Silent(Time t) const { return t >= plan.silentFrom && t < plan.silentUntil; }
    bool Dead(Time t) const { return t >= plan.diesAt; }
    // Whether datagrams reach it (its core runs only once it started).
    bool Hears(Time t) const { return running && !Dead(t) && !Silent(t); }
    // Where the writer puts a name of the task; a path outside the target
    // root fails the run.
    std::u16string Place(const std::u16string& relative) {
        const std::u16string path = writerRoot + relative;
        if (!path.starts_with(kRoot + u'/') || path.find(u"/../") != std::u16string::npos ||
            path.find(u"/./") != std::u16string::npos || path.ends_with(u"/.."))
            w_.result.outsideRoot = true;
        return path;
    }

    size_t index;
    uint32_t addr;
    ReceiverPlan plan;
    std::unique_ptr<receiver::ReceiverCore> core;
    std::unordered_map<std::u16string, FileModel> files;
    std::set<std::u16string> directories;
    std::set<std::u16string> heard;  // names its host was told
    std::set<std::pair<uint32_t, uint32_t>> opened;  // (generation, file) seen by the writer
    std::deque<std::pair<uint32_t, std::vector<uint8_t>>> reports;
    uint32_t writerGeneration = 0;
    std::u16string writerRoot;
    uint32_t directoryPackets = 0;  // Empty directories packets that reached it
    Time diskFreeAt = 0;  // when the slow disk has written what it was given
    bool downBurst = false, upBurst = false;  // each link in a burst of losses
    bool running = false, stopped = false;
    bool toldComplete = false, toldFailure = false;
    uint32_t lastCode = 0, tasksEnded = 0;
};

class SenderSide : public sender::SenderIo, public Host {
public:
    explicit SenderSide(World& w) : Host(w), core(*this, *this) {}

    bool Send(const uint8_t* data, size_t length, const platform::Endpoint& to) override {
        if (closed) return false;
        if (dead) return true;
        const Time leaves = Departure(length);
        if (length >= 3 && data[2] == protocol::kDataBlock) {
            if (w_.result.dataBlocks++ == 0) w_.result.streamStart = leaves;
            w_.result.streamEnd = leaves;
        }
        if (length >= 3 && data[2] == protocol::kRepairBlock) ++w_.result.repairBlocks;
        w_.Trace(leaves, false, to.addr, data, length);
        w_.lastDatagram = Deliver(Event::ToReceiver, data, length, to.addr, leaves);
        return true;
    }
    bool SendReport(const uint8_t* data, size_t length) override {
        if (!closed && !dead) Deliver(Event::ToReport, data, length, protocol::kDefaultGroup, w_.now());
        return !closed;
    }
    void CloseSockets() override { closed = true; }
    int64_t FileLength(uint32_t file) override {
        if (file == 0 || file > w_.sources.size()) return -1;
        const Source& s = w_.sources[file - 1];
        return int64_t(started ? s.lengthLater : s.length);
    }
    bool OpenFile(sender::Reader reader, uint32_t file) override {
        if (file < 1 || file > w_.sources.size()) return false;
        openFile[int(reader)] = file;
        return true;
    }
    size_t ReadFile(sender::Reader reader, uint64_t offset, uint8_t* out, size_t length) override {
        // Reads see the file as it is now.
        const uint32_t file = openFile[int(reader)];
        if (file == 0) return 0;
        const uint64_t now = w_.sources[file - 1].lengthLater;
        if (offset >= now) return 0;
        const size_t n = size_t(std::min<uint64_t>(length, now - offset));
        for (size_t i = 0; i < n; ++i) out[i] = ContentByte(file, offset + i);
        return n;
    }
    void CloseFile(sender::Reader) override {}

    void Ended(uint32_t code, intptr_t, bool final) override {
        if (!final || w_.result.senderEnded) return;
        w_.result.senderEnded = true;
        w_.result.senderCode = code;
        w_.result.senderEndedAt = w_.now();
    }
    void CurrentFile(const std::u16string&) override { ++w_.result.senderNames; }  // one per block sent

    // When a datagram of this size leaves through the link.
    Time Departure(size_t bytes) {
        const uint64_t bps = w_.plan.linkBitsPerSecond;
        if (bps == 0) return w_.now();
        // Ethernet, IP and UDP heads on top of the payload.
        linkFreeAt = std::max(linkFreeAt, w_.now()) + Time(double(bytes + 66) * 8e9 / double(bps));
        return linkFreeAt;
    }
    // Hands a datagram to each receiver that `to` names (the group: all),
    // through its down link.
    Bytes Deliver(Event::Kind kind, const uint8_t* data, size_t length, uint32_t to, Time leaves) {
        auto bytes = std::make_shared<const std::vector<uint8_t>>(data, data + length);
        for (auto& r : w_.receivers) {
            if (to == protocol::kDefaultGroup || to == r->addr)
                w_.Carry(r->plan.down, r->downBurst, leaves,
                         {.kind = kind, .host = r->index, .from = kSenderAddr, .data = bytes});
        }
        return bytes;
    }

    sender::SenderCore core;
    bool closed = false, dead = false;  // its sockets, its host
    bool started = false;
    Time linkFreeAt = 0;
    uint32_t openFile[2] = {0, 0};
};

// ---------------------------------------------------------------------------

World::World(const Plan& p) : plan(p), rng_(p.seed * 0x9E3779B97F4A7C15ull + 7) {
    for (size_t i = 0; i < p.fileSizes.size(); ++i) {
        const std::u16string relative =
            Ascii("\\sample\\d" + std::to_string(i % 3) + "\\f" + std::to_string(i) + ".bin");
        sources.push_back({relative, p.fileSizes[i], p.fileSizes[i]});
        for (auto& [index, length] : p.resized)
            if (index == i) sources.back().lengthLater = length;
        // The simulator reads no file by its path.
        list->files.push_back(
            {.fullPath = {}, .relativeName = relative, .relativeField = protocol::WideNameField(relative)});
    }
    for (uint32_t j = 0; j < p.emptyDirectories; ++j) {
        emptyDirs.push_back(Ascii("\\sample\\empty" + std::to_string(j)));
        list->emptyDirectories.push_back(protocol::WideNameField(emptyDirs.back()));
    }
    sender = std::make_unique<SenderSide>(*this);
    for (size_t i = 0; i < p.receivers.size(); ++i)
        receivers.push_back(std::make_unique<ReceiverSide>(*this, i, p.receivers[i]));
}

void World::Carry(const Link& link, bool& inBurst, Time now, Event e) {
    if (inBurst) {
        inBurst = Uniform(rng_) < link.burstStay;
        if (inBurst) return;
    } else if (link.burstEnter > 0 && Uniform(rng_) < link.burstEnter) {
        inBurst = true;
        return;
    }
    if (link.loss > 0 && Uniform(rng_) < link.loss) return;
    const int copies = link.duplicate > 0 && Uniform(rng_) < link.duplicate ? 2 : 1;
    for (int c = 0; c < copies; ++c) {
        e.at = now + link.delay + (link.jitter ? Time(Uniform(rng_) * double(link.jitter)) : 0);
        Push(e);
    }
}

void World::Reschedule(Host& side, Time next, Event::Kind kind, size_t host) {
    if (next == side.scheduled) return;
    side.scheduled = next;
    if (next != kNever) Push({.kind = kind, .at = std::max(next, now_), .host = host, .token = ++side.token});
}

void World::RescheduleSender() {
    Reschedule(*sender, sender->dead ? kNever : sender->core.NextWake(), Event::SenderTimer, 0);
}

void World::RescheduleReceiver(ReceiverSide& r) {
    Reschedule(r, !r.running || r.Dead(now_) ? kNever : r.core->NextWake(), Event::ReceiverTimer, r.index);
}

void World::Trace(Time at, bool toSender, uint32_t addr, const uint8_t* data, size_t length) {
    if (!plan.traceWire || length < 4) return;
    int host = -1;
    for (const auto& r : receivers)
        if (r->addr == addr) host = int(r->index);
    const uint32_t value = length >= 7 ? protocol::GetU32(data + 3) : data[3];
    result.wire.push_back({at, toSender, host, data[2], value});
}

void World::Answer(uint32_t from, const uint8_t* data, size_t length) {
    if (sender->dead) return;
    Trace(now_, true, from, data, length);
    sender->core.OnAnswer(now_, {from, kPort}, data, length);
    RescheduleSender();
}

void World::Hostile() {
    // A stranger's datagram, to the sender's answer port or to the group.
    std::vector<uint8_t> d;
    const int kind = int(rng_() % 6);
    auto bytes = [&](size_t n) {
        d.resize(n);
        for (auto& b : d) b = uint8_t(rng_());
        d[0] = protocol::kMagic0;
        d[1] = protocol::kMagic1;
    };
    bool toSender = kind >= 1 && kind <= 3;
    switch (kind) {
        case 0: bytes(3 + rng_() % 40); d[2] = uint8_t(rng_() % 16); toSender = rng_() % 2; break;
        case 1:  // a wild Ack
            bytes(protocol::ack::kSize);
            d[2] = protocol::kAck;
            protocol::PutU32(&d[protocol::ack::kFile], uint32_t(1 + rng_() % (sources.size() + 2)));
            protocol::PutU32(&d[protocol::ack::kBlock], uint32_t(rng_() % 64));
            break;
        case 2: bytes(protocol::finish::kSize); d[2] = protocol::kFinish; d[3] = rng_() % 2; break;
        case 3: bytes(protocol::join::kSize); d[2] = protocol::kJoin; break;
        case 4:  // a damaged copy of a real datagram (not a Task: nothing
                 // tells a sender from one that pretends to be one)
            if (!lastDatagram || lastDatagram->size() <= 3 || (*lastDatagram)[2] == protocol::kTask) return;
            d = *lastDatagram;
            for (int i = 0; i < 3; ++i) d[3 + rng_() % (d.size() - 3)] ^= uint8_t(1 + rng_() % 255);
            break;
        default: bytes(protocol::report::kSize); d[2] = protocol::kReport; break;
    }
    if (toSender) return Answer(kStrangerAddr, d.data(), std::min<size_t>(d.size(), 11));
    auto data = std::make_shared<const std::vector<uint8_t>>(std::move(d));
    for (size_t i = 0; i < receivers.size(); ++i) {
        Push({.kind = kind == 5 ? Event::ToReport : Event::ToReceiver, .at = now_ + Ms(1), .host = i,
              .from = kStrangerAddr, .data = data});
    }
}

void World::Handle(const Event& e) {
    switch (e.kind) {
        case Event::ToReceiver: {
            ReceiverSide& r = *receivers[e.host];
            if (!r.Hears(now_) || r.stopped) break;
            // Only a part still running takes the directories in.
            if (e.from == kSenderAddr && e.data->size() > 2 && (*e.data)[2] == protocol::kEmptyDirectories &&
                !r.core->Ended())
                ++r.directoryPackets;
            r.core->OnDatagram(now_, {e.from, kPort}, e.data->data(), e.data->size());
            if (r.plan.eager && e.data->size() > 2 && (*e.data)[2] == protocol::kRepairBlock && !r.core->Ended() &&
                !r.core->missing().Empty()) {
                // Another's turn, most likely: it asks all the same.
                uint8_t ack[protocol::ack::kSize];
                const receiver::BlockRef first = *r.core->missing().First();
                r.Send(kSenderAddr, ack, protocol::EncodeAck({first.file, first.block}, ack));
            }
            RescheduleReceiver(r);
            break;
        }
        case Event::ToReport: {
            // The report socket's small buffer keeps a few datagrams.
            ReceiverSide& r = *receivers[e.host];
            if (r.Hears(now_) && r.reports.size() < 512 / protocol::report::kSize)
                r.reports.emplace_back(e.from, *e.data);
            break;
        }
        case Event::ToSender: Answer(e.from, e.data->data(), e.data->size()); break;
        case Event::SenderTimer:
            if (e.token != sender->token || sender->dead) break;
            sender->scheduled = kNever;
            sender->core.OnTick(now_);
            RescheduleSender();
            break;
        case Event::ReceiverTimer:
        case Event::WriterResult: {
            // A timer event that is not the current one is stale; a dead or stopped core runs no more.
            ReceiverSide& r = *receivers[e.host];
            const bool timer = e.kind == Event::ReceiverTimer;
            if (timer && e.token != r.token) break;
            if (timer) r.scheduled = kNever;
            if (r.Dead(now_) || r.stopped) break;
            timer ? r.core->OnTick(now_) : r.core->OnWriteResult(now_, e.result);
            RescheduleReceiver(r);
            break;
        }
        case Event::StartSend:
            // Files change size only after their lengths were taken.
            sender->core.StartSend(now_, list, receiver::kAllBitsMode, protocol::WideNameField(kRoot), plan.rateKbps);
            sender->started = true;
            RescheduleSender();
            break;
        case Event::StopSend:
            if (!sender->dead) sender->core.StopSend(now_);
            RescheduleSender();
            break;
        case Event::StartReceive:
            receivers[e.host]->running = true;
            RescheduleReceiver(*receivers[e.host]);
            break;
        case Event::HostileDatagram:
            // Strangers keep at it until the sender has ended.
            if (result.senderEnded || sender->dead) break;
            Hostile();
            Schedule(e.kind, now_ + Time(std::exponential_distribution<double>(plan.hostilePerSecond)(rng_) * 1e9));
            break;
        case Event::SenderDies: sender->dead = true; break;
        case Event::StrangerAck: {
            if (result.senderEnded || sender->dead) break;
            uint8_t ack[protocol::ack::kSize];
            Answer(kStrangerAddr, ack, protocol::EncodeAck({1, uint32_t(rng_() % 8)}, ack));
            Schedule(e.kind, now_ + plan.strangerAckEvery);
            break;
        }
    }
}

Result World::Run() {
    uint64_t blocks = 0, bytes = 0;
    for (uint64_t size : plan.fileSizes) {
        blocks += protocol::BlockCount(size);
        bytes += size + protocol::kBlockHeadSize;
    }
    // A bound from the protocol's timers: the stream at its pace, then for
    // each receiver its repairs (at most 30 % of the task, each at most two
    // watchdog ticks and two Ack repeats) and two passes of timeouts, then
    // the heartbeat's sixteen seconds.
    const Time stream = plan.rateKbps ? Time(double(bytes) * 8e6 / plan.rateKbps) : Time(blocks) * Ms(25);
    const Time perReceiver = Time(double(blocks) * 0.3 + 1) * Ms(6000) + Ms(30000);
    result.limit = Ms(3000) + 2 * stream + perReceiver * (plan.receivers.size() + 1) + Ms(60000);

    sender->core.Open(0, {protocol::kDefaultGroup, kPort}, 1);
    RescheduleSender();
    for (size_t i = 0; i < receivers.size(); ++i) Schedule(Event::StartReceive, receivers[i]->plan.startsAt, i);
    Schedule(Event::StartSend, Ms(800));  // InitServer's Collects and its wait
    if (plan.stopAt != kNever) Schedule(Event::StopSend, plan.stopAt);
    if (plan.restartAt != kNever) Schedule(Event::StartSend, plan.restartAt);
    if (plan.senderDiesAt != kNever) Schedule(Event::SenderDies, plan.senderDiesAt);
    if (plan.strangerAckEvery != kNever) Schedule(Event::StrangerAck, Ms(800));
    if (plan.hostilePerSecond > 0) Schedule(Event::HostileDatagram, Ms(50));

    // A core that keeps asking to be woken without time passing would hold
    // this loop for ever: a bound on the events ends such a run, as failed.
    const uint64_t eventBound = 100 * (blocks + 64) * (plan.receivers.size() + 2) + 200'000;
    uint64_t events = 0;
    while (!queue_.empty() && queue_.top().at <= result.limit) {
        if (++events > eventBound) {
            result.runaway = true;
            break;
        }
        const Event e = queue_.top();
        queue_.pop();
        now_ = std::max(now_, e.at);
        Handle(e);
    }
    result.endedAt = now_;
    result.changedFiles = sender->core.changedFiles();
    result.senderToldStarted = sender->toldStarted;

    // What each receiver holds, what it was told, what the sender says.
    std::vector<uint32_t> info(1 + 2 * sender::Roster::kCapacity);
    sender->core.GetErrInfo(info.data());
    const auto& roster = sender->core.roster();
    for (auto& r : receivers) {
        ReceiverOutcome o{.dead = r->Dead(now_), .joined = roster.Find({r->addr, kPort}) < roster.count(),
                          .toldComplete = r->toldComplete, .toldFailure = r->toldFailure || !r->toldStarted,
                          .lastCode = r->lastCode, .tasksEnded = r->tasksEnded, .namesHeard = r->heard.size()};
        for (uint32_t k = 0; k < info[0]; ++k)
            if (info[1 + 2 * k] == r->addr) o.errInfoCode = info[2 + 2 * k];
        // The first problem found is the one told.
        for (const Source& s : sources) {
            auto it = r->files.find(Target(s.relative));
            const std::string problem = it == r->files.end() ? "missing" : it->second.Problem(s.length);
            if (!problem.empty() && o.copyProblem.empty())
                o.copyProblem = std::string(s.relative.begin(), s.relative.end()) + ": " + problem;
        }
        // Nothing repairs an Empty directories packet: a receiver that none
        // reached cannot know of them.
        for (const std::u16string& dir : emptyDirs) {
            if (r->directoryPackets && !r->directories.contains(Target(dir)) && o.copyProblem.empty())
                o.copyProblem = "directory " + std::string(dir.begin(), dir.end()) + " missing";
        }
        o.exactCopy = o.copyProblem.empty();
        result.receivers.push_back(o);
    }
    return result;
}

}  // namespace

Result Simulate(const Plan& plan) { return World(plan).Run(); }

Plan RandomPlan(uint64_t seed) {
    std::mt19937_64 rng(seed);
    auto pick = [&](double p) { return Uniform(rng) < p; };
    Plan plan;
    plan.seed = seed;
    plan.verifyEveryByte = seed % 4 == 0;  // drawing nothing: every seed keeps its plan
    const int files = int(rng() % 6);
    for (int i = 0; i < files; ++i) {
        // Sizes around the block boundaries and a few larger files.
        const uint64_t base[] = {0, 1, 4253, 4254, 4255, 8508, 20000, 60000, 150000};
        plan.fileSizes.push_back(base[rng() % 9] + (pick(0.3) ? rng() % 5000 : 0));
    }
    plan.emptyDirectories = uint32_t(rng() % 3);
    plan.rateKbps = pick(0.5) ? uint32_t(10000 + rng() % 1000000) : 0;
    const int receivers = 1 + int(rng() % 6);
    const double loss = pick(0.3) ? 0 : Uniform(rng) * 0.4;
    for (int i = 0; i < receivers; ++i) {
        ReceiverPlan r;
        r.down.loss = pick(0.7) ? loss : Uniform(rng) * 0.4;
        r.up.loss = r.down.loss * Uniform(rng);
        if (pick(0.2)) {
            r.down.burstEnter = 0.01;
            r.down.burstStay = 0.8;
        }
        r.down.duplicate = pick(0.1) ? 0.05 : 0;
        r.down.jitter = pick(0.2) ? Ms(3) : 0;
        r.up.jitter = r.down.jitter;
        if (pick(0.1)) r.startsAt = Ms(rng() % 2000);
        if (pick(0.15)) r.diesAt = Ms(500 + rng() % 20000);
        if (pick(0.1)) {
            r.silentFrom = Ms(500 + rng() % 10000);
            r.silentUntil = r.silentFrom + Ms(rng() % 20000);
        }
        if (pick(0.05)) r.freeBytes = rng() % 100000;
        if (pick(0.03)) r.fixedDisk = false;
        if (pick(0.1)) {
            r.diskBlocksPerSecond = 50 + uint32_t(rng() % 2000);
            r.bufferBlocks = 4 + uint32_t(rng() % 64);
        }
        r.narrow = pick(0.05);
        plan.receivers.push_back(r);
    }
    if (pick(0.1)) plan.stopAt = Ms(500 + rng() % 5000);
    if (pick(0.05)) plan.senderDiesAt = Ms(500 + rng() % 5000);
    if (pick(0.15)) plan.hostilePerSecond = 1 + Uniform(rng) * 20;
    // Receivers that ask for one block at a time, as the protocol first had it.
    if (pick(0.2)) plan.repairWindow = 1;
    return plan;
}

// Nothing lost, no receiver late, dead, silent, rogue or short of disk, no
// stop, no stranger.
bool Clean(const Plan& p) {
    if (p.stopAt != kNever || p.senderDiesAt != kNever || p.hostilePerSecond > 0 || p.strangerAckEvery != kNever)
        return false;
    for (const ReceiverPlan& r : p.receivers)
        if (r.down.loss > 0 || r.up.loss > 0 || r.down.burstEnter > 0 || r.up.burstEnter > 0 || r.startsAt > 0 ||
            r.diesAt != kNever || r.silentFrom != kNever || r.rogue || r.freeBytes != UINT64_MAX || !r.fixedDisk ||
            r.diskBlocksPerSecond != 0)
            return false;
    return true;
}

std::string CheckOutcome(const Plan& plan, const Result& result) {
    std::ostringstream out;
    if (result.outsideRoot) out << "something was written outside the target root; ";
    if (result.runaway) out << "the cores kept the simulator busy without end; ";
    const bool senderAlive = plan.senderDiesAt == kNever;
    if (senderAlive && !result.senderEnded)
        out << "the sender's host was never told the end (limit " << protocol::ToMs(result.limit) << " ms); ";
    for (size_t i = 0; i < result.receivers.size(); ++i) {
        const ReceiverOutcome& o = result.receivers[i];
        if (o.toldComplete && !o.exactCopy)
            out << "receiver " << i << " was told complete without its copy (" << o.copyProblem << "); ";
        // Its host and the sender's must agree: a failure told to one is
        // named to the other.
        if (o.exactCopy && !o.dead && o.toldFailure && !o.toldComplete && senderAlive && result.senderEnded &&
            o.joined && o.errInfoCode == 0)
            out << "receiver " << i << " holds its copy, was told code " << o.lastCode
                << " and GetErrInfo does not name it; ";
        if (o.exactCopy) continue;
        if (!o.dead && !o.toldFailure && !o.toldComplete)
            out << "receiver " << i << " has no copy and was told nothing; ";
        if (senderAlive && result.senderEnded && o.joined && o.errInfoCode == 0)
            out << "receiver " << i << " has no copy (" << o.copyProblem << ") and GetErrInfo does not name it; ";
    }
    if (!Clean(plan)) return out.str();
    // A clean run: every receiver complete, unnamed and told every file's
    // name; the sender's host told of the start, a name per block sent, and
    // the end soon after the stream.
    if (!result.senderToldStarted || result.senderCode != 0 ||
        result.senderNames != result.dataBlocks + result.repairBlocks)
        out << "the sender's host heard the start " << result.senderToldStarted << ", the code " << result.senderCode
            << ", " << result.senderNames << " names for " << result.dataBlocks + result.repairBlocks << " blocks; ";
    if (result.senderEndedAt > result.streamEnd + Ms(3000))
        out << "the clean run ended " << protocol::ToMs(result.senderEndedAt - result.streamEnd) << " ms after the stream; ";
    for (size_t i = 0; i < result.receivers.size(); ++i) {
        const ReceiverOutcome& o = result.receivers[i];
        if (!o.toldComplete || !o.exactCopy || o.errInfoCode != 0 || o.namesHeard != plan.fileSizes.size())
            out << "receiver " << i << " of a clean run: complete " << o.toldComplete << ", named " << o.errInfoCode
                << ", " << o.namesHeard << " names heard (" << o.copyProblem << "); ";
    }
    return out.str();
}

}  // namespace tivlo::sim
