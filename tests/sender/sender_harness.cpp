#include "sender_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/log.h"
#include "platform/system.h"
#include "platform/window.h"
#include "protocol/packets.h"

namespace sendertest {

namespace {

// The sender's waits run at a twentieth of real time: a watchdog tick is
// 25 ms, the Finish delay 25 ms.
class ScaledClock : public ::testing::Environment {
public:
    void SetUp() override { tivlo::platform::SetTimeScale(0.05); }
};
const auto* g_clock = ::testing::AddGlobalTestEnvironment(new ScaledClock);

}  // namespace

// ---- HostRecorder ----

HostRecorder::HostRecorder() { window_ = tivlo::platform::CreateHostWindow(&HostRecorder::Proc, this); }

HostRecorder::~HostRecorder() { tivlo::platform::DestroyHostWindow(window_); }

void HostRecorder::Proc(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    auto* self = static_cast<HostRecorder*>(context);
    HostMessage m{message, wParam, lParam, {}};
    if (message == 1042 && lParam != 0) m.text = reinterpret_cast<const char16_t*>(lParam);
    if (message == 1054 && self->onDiskFull) self->onDiskFull(m);
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->messages_.push_back(m);
    }
    self->changed_.notify_all();
}

std::vector<HostMessage> HostRecorder::Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<HostMessage> HostRecorder::Of(uint32_t message) {
    std::vector<HostMessage> out;
    for (auto& m : Messages())
        if (m.message == message) out.push_back(m);
    return out;
}

size_t HostRecorder::Count(uint32_t message, uintptr_t wParam) {
    auto all = Messages();
    return size_t(std::count_if(all.begin(), all.end(), [&](auto& m) { return m.message == message && m.wParam == wParam; }));
}

bool HostRecorder::WaitUntil(const std::function<bool(const std::vector<HostMessage>&)>& pred,
                             std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pred(messages_); });
}

bool HostRecorder::WaitFor(uint32_t message, uintptr_t wParam, size_t count,
                           std::chrono::milliseconds timeout) {
    auto match = [&](const HostMessage& m) { return m.message == message && m.wParam == wParam; };
    return WaitUntil([&](auto& all) { return size_t(std::count_if(all.begin(), all.end(), match)) >= count; }, timeout);
}

// ---- LogRecorder ----

LogRecorder::LogRecorder() { tivlo::platform::SetLogSink(&LogRecorder::Sink, this); }
LogRecorder::~LogRecorder() { tivlo::platform::SetLogSink(nullptr, nullptr); }

void LogRecorder::Sink(void* context, const char16_t* line) {
    auto* self = static_cast<LogRecorder*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.push_back(tivlo::platform::Utf16ToUtf8(line));
}

bool LogRecorder::Contains(const std::string& line) { return Count(line) > 0; }

size_t LogRecorder::Count(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (auto& l : lines_)
        if (l == line) ++n;
    return n;
}

// ---- Packets ----

uint32_t Packet::U32(size_t offset) const {
    return offset + 4 <= bytes.size() ? tivlo::protocol::GetU32(bytes.data() + offset) : 0xFFFFFFFFu;
}
uint16_t Packet::U16(size_t offset) const {
    return offset + 2 <= bytes.size() ? tivlo::protocol::GetU16(bytes.data() + offset) : 0xFFFF;
}

PacketTap::PacketTap(uint32_t bindAddr, uint16_t port, uint32_t group) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int big = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    int off = 0;
    ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = bindAddr;
    sa.sin_port = htons(port);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ADD_FAILURE() << "tap cannot bind port " << port << ": " << std::strerror(errno);
    }
    in_addr iface{};
    iface.s_addr = kLoopback;
    ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface);
    if (group != 0) {
        ip_mreq mreq{};
        mreq.imr_multiaddr.s_addr = group;
        mreq.imr_interface.s_addr = kLoopback;
        if (::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0)
            ADD_FAILURE() << "tap cannot join the group: " << std::strerror(errno);
    }
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe";
    thread_ = std::thread([this] { Run(); });
}

PacketTap::~PacketTap() {
    char c = 0;
    (void)!::write(stopPipe_[1], &c, 1);
    thread_.join();
    ::close(fd_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
}

void PacketTap::Run() {
    std::vector<uint8_t> buffer(65536);
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) continue;
        Packet p;
        p.bytes.assign(buffer.begin(), buffer.begin() + n);
        p.fromAddr = from.sin_addr.s_addr;
        p.fromPort = ntohs(from.sin_port);
        p.atMs = tivlo::platform::NowMs();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            packets_.push_back(std::move(p));
        }
        changed_.notify_all();
    }
}

std::vector<Packet> PacketTap::All() {
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
}

std::vector<Packet> PacketTap::OfType(uint8_t type) {
    std::vector<Packet> out;
    for (auto& p : All())
        if (p.type() == type) out.push_back(p);
    return out;
}

size_t PacketTap::Count(uint8_t type) { return OfType(type).size(); }

bool PacketTap::WaitUntil(const std::function<bool(const std::vector<Packet>&)>& pred,
                          std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pred(packets_); });
}

bool PacketTap::WaitForType(uint8_t type, size_t count, std::chrono::milliseconds timeout) {
    auto ofType = [&](const Packet& p) { return p.type() == type; };
    return WaitUntil([&](auto& all) { return size_t(std::count_if(all.begin(), all.end(), ofType)) >= count; }, timeout);
}

void PacketTap::SendTo(const std::vector<uint8_t>& bytes, uint32_t addr, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addr;
    to.sin_port = htons(port);
    if (::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
        ADD_FAILURE() << "send failed: " << std::strerror(errno);
}

// ---- FakeReceiver ----

FakeReceiver::FakeReceiver(uint8_t lastOctet, uint16_t dataPort)
    : address_(IPv4(127, 0, 0, lastOctet)), dataPort_(dataPort), tap_(address_, dataPort) {}

void FakeReceiver::Raw(const std::vector<uint8_t>& bytes) {
    tap_.SendTo(bytes, kLoopback, uint16_t(dataPort_ + tivlo::protocol::kAnswerPortOffset));
}

namespace proto = tivlo::protocol;
void FakeReceiver::Join(uint8_t wide) { Send(proto::kJoinSize, [&](uint8_t* b) { proto::EncodeJoin({wide}, b); }); }
void FakeReceiver::Answer(uint32_t missing) {
    Send(proto::kAnswerSize, [&](uint8_t* b) { proto::EncodeAnswer({missing}, b); });
}
void FakeReceiver::Ack(uint32_t file, uint32_t block) {
    Send(proto::kAckSize, [&](uint8_t* b) { proto::EncodeAck({file, block}, b); });
}
void FakeReceiver::Finish(uint8_t code) { Send(proto::kFinishSize, [&](uint8_t* b) { proto::EncodeFinish({code}, b); }); }

// ---- TempTree ----

TempTree::TempTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tivlo-sender-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp";
    root_ = pattern;
}

TempTree::~TempTree() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

std::filesystem::path TempTree::Dir(const std::string& relative) {
    auto p = root_ / relative;
    std::filesystem::create_directories(p);
    return p;
}

std::filesystem::path TempTree::File(const std::string& relative, size_t length) {
    auto p = root_ / relative;
    std::filesystem::create_directories(p.parent_path());
    std::vector<uint8_t> data(length);
    uint32_t x = seed_++ * 2654435761u;
    for (size_t i = 0; i < length; ++i) {
        x = x * 1103515245u + 12345u;
        data[i] = uint8_t(x >> 16);
    }
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    return p;
}

std::vector<uint8_t> TempTree::Read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::u16string U16(const std::filesystem::path& path) { return U16(path.string()); }
std::u16string U16(const std::string& text) { return tivlo::platform::Utf8ToUtf16(text); }

// ---- Sender set-up ----

int OpenSender(tivlo::sender::ServerEngine& engine, uint16_t port, uintptr_t window) {
    engine.groupAddress = kTestGroup;
    engine.dataPort = port;
    engine.hostWindow = window;
    if (!engine.SetUp(kLoopback)) return 0;
    return engine.StartAckThread();
}

int InitSender(tivlo::sender::ServerEngine& engine, uint16_t port, uintptr_t window) {
    if (!OpenSender(engine, port, window)) return 0;
    if (!engine.CollectReceivers()) return 0;
    tivlo::platform::SleepMs(500);
    return 1;
}

void StartSend(tivlo::sender::ServerEngine& engine) {
    engine.awaitingFirstCompletion = 1;
    engine.finishedFlag = 0;
    engine.BeginTransfer();
}

std::u16string FieldName(const Packet& p, size_t fieldOffset, size_t countOffset) {
    uint32_t count = p.U32(countOffset);
    if (count == 0 || count > 261 || p.bytes.size() < fieldOffset + 520) return u"<bad>";
    return tivlo::protocol::ReadWideName(p.bytes.data() + fieldOffset, count);
}

void ExpectBlock(const Packet& p, uint8_t type, const std::vector<uint8_t>& content, uint32_t file,
                 uint32_t block, const std::u16string& name) {
    ASSERT_EQ(p.type(), type) << "file " << file << " block " << block;
    EXPECT_EQ(p.U32(3), file);
    EXPECT_EQ(p.U32(7), block);
    EXPECT_EQ(p.U32(11), content.size() / 4254);
    EXPECT_EQ(p.bytes[15], type == tivlo::protocol::kDataBlock ? 1 : 0) << "stream flag";
    EXPECT_EQ(p.U16(16), content.size() % 4254);
    EXPECT_EQ(FieldName(p, 18, 538), name);
    size_t n = std::min<size_t>(4254, content.size() - size_t(block) * 4254);
    ASSERT_EQ(p.bytes.size(), 542 + n);
    EXPECT_TRUE(std::equal(p.bytes.begin() + 542, p.bytes.end(), content.begin() + long(block) * 4254))
        << "file " << file << " block " << block;
}

void ExpectDataBlocks(const std::vector<Packet>& packets, size_t& i, const tivlo::sender::ServerEngine& e,
                      const std::map<std::u16string, std::filesystem::path>& files, TempTree& tree) {
    for (uint32_t file = 1; file <= e.transferList.size(); ++file) {
        const std::u16string& name = e.transferList[file - 1]->relativeName;
        ASSERT_TRUE(files.contains(name));
        auto content = tree.Read(files.at(name));
        for (uint32_t b = 0; b <= content.size() / 4254; ++b, ++i) {
            ASSERT_LT(i, packets.size()) << "blocks missing";
            ExpectBlock(packets[i], tivlo::protocol::kDataBlock, content, file, b, name);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

RealTime::RealTime() { tivlo::platform::SetTimeScale(1.0); }
RealTime::~RealTime() { tivlo::platform::SetTimeScale(0.05); }

}  // namespace sendertest
