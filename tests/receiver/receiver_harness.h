// Test harness for the receiver: a host window that records its messages, a
// log recorder, a scripted sender on loopback and a fixture around a real
// ClientEngine whose target root lies in a temporary directory.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/log.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "platform/window.h"
#include "protocol/blocks.h"
#include "protocol/packets.h"
#include "protocol/wire.h"
#include "receiver/client_engine.h"

namespace tivlo::testing {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

inline const uint32_t kLoopback = platform::ParseIPv4("127.0.0.1");
inline const uint32_t kTestGroup = platform::ParseIPv4("239.77.5.9");
inline constexpr double kScale = 0.05;

// Real milliseconds as protocol milliseconds on the scaled clock.
inline uint32_t RealToProtocolMs(uint32_t realMs) { return uint32_t(realMs / platform::TimeScale()); }

inline bool Eventually(const std::function<bool()>& condition, int realMs = 3000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

struct HostMessage {
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    std::u16string text;
};

class HostRecorder {
public:
    HostRecorder() { window = platform::CreateHostWindow(&HostRecorder::Proc, this); }
    ~HostRecorder() { platform::DestroyHostWindow(window); }

    std::vector<HostMessage> Messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    int Count(uint32_t message, std::optional<uintptr_t> wParam = {}, std::optional<intptr_t> lParam = {}) {
        int n = 0;
        for (const auto& m : Messages())
            if (m.message == message && (!wParam || m.wParam == *wParam) && (!lParam || m.lParam == *lParam)) ++n;
        return n;
    }
    bool WaitFor(uint32_t message, std::optional<uintptr_t> wParam = {}, std::optional<intptr_t> lParam = {},
                 int realMs = 3000) {
        return Eventually([&] { return Count(message, wParam, lParam) > 0; }, realMs);
    }

    uintptr_t window = 0;

private:
    static void Proc(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam) {
        auto* self = static_cast<HostRecorder*>(context);
        HostMessage m{message, wParam, lParam, {}};
        if (message == 1042 && lParam != 0) m.text = reinterpret_cast<const char16_t*>(lParam);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->messages_.push_back(std::move(m));
    }
    std::mutex mutex_;
    std::vector<HostMessage> messages_;
};

class LogRecorder {
public:
    LogRecorder() { platform::SetLogSink(&LogRecorder::Sink, this); }
    ~LogRecorder() { platform::SetLogSink(nullptr, nullptr); }
    int Count(const std::u16string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const auto& l : lines_)
            if (l == line) ++n;
        return n;
    }
    int Count(const char* line) { return Count(platform::Utf8ToUtf16(line)); }
    std::vector<std::u16string> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    static void Sink(void* context, const char16_t* line) {
        auto* self = static_cast<LogRecorder*>(context);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lines_.emplace_back(line);
    }
    std::mutex mutex_;
    std::vector<std::u16string> lines_;
};

// ---- Packet builders ----

inline Bytes Collect() {
    Bytes b(protocol::kCollectSize);
    protocol::EncodeCollect(b.data());
    return b;
}
inline Bytes TaskPacket(uint32_t totalBlocks, uint32_t fileCount, uint32_t mode, const std::u16string& path) {
    Bytes b(protocol::kTaskSize);
    protocol::Task t;
    t.totalBlocks = totalBlocks;
    t.fileCount = fileCount;
    t.mode = mode;
    t.path = protocol::WideNameField(path);
    b.resize(protocol::EncodeTask(t, b.data()));
    return b;
}
inline Bytes StopPacket() {
    Bytes b(protocol::kStopSize);
    protocol::EncodeStop(b.data());
    return b;
}
inline Bytes ServerOsPacket(uint8_t wide) {
    Bytes b(protocol::kServerOsSize);
    protocol::EncodeServerOs(protocol::ServerOs{wide}, b.data());
    return b;
}
inline Bytes PollPacket(uint32_t turn) {
    Bytes b(protocol::kPollSize);
    protocol::EncodePoll(protocol::Poll{turn}, b.data());
    return b;
}
inline Bytes HoldPacket(uint8_t complete, uint8_t unicast) {
    Bytes b(protocol::kHoldSize);
    protocol::EncodeHold(protocol::Hold{complete, unicast}, b.data());
    return b;
}
inline Bytes SenderFinish() {
    Bytes b(protocol::kFinishSize);
    protocol::EncodeFinish(protocol::Finish{0}, b.data());
    return b;
}
inline Bytes ReportPacket() {
    Bytes b(protocol::kReportSize);
    protocol::EncodeReport(b.data());
    return b;
}
inline Bytes EmptyDirsPacket(const std::vector<std::u16string>& names) {
    std::vector<protocol::NameField> fields;
    for (const auto& n : names) fields.push_back(protocol::WideNameField(n));
    Bytes b(protocol::kMaxDatagram);
    b.resize(protocol::EncodeEmptyDirectories(fields, b.data()));
    return b;
}

// A file's content made of a pattern that differs per file and per offset.
inline Bytes Content(size_t length, uint8_t seed) {
    Bytes b(length);
    for (size_t i = 0; i < length; ++i) b[i] = uint8_t((i * 131 + seed * 7 + (i >> 12)) & 0xFF);
    return b;
}

// A Data (type 11) or Repair (type 7) block of a file with the given content.
inline Bytes BlockPacket(protocol::PacketType type, uint32_t file, uint32_t block, const std::u16string& name,
                         const Bytes& content) {
    const uint32_t last = uint32_t(content.size() / protocol::kBlockSize);
    const uint16_t lastLength = uint16_t(content.size() % protocol::kBlockSize);
    Bytes b(protocol::kMaxBlockPacket, 0);
    protocol::WriteBlockHeader(b.data(), type);
    protocol::WriteBlockFile(b.data(), last, lastLength, protocol::WideNameField(name));
    protocol::WriteBlockPosition(b.data(), file, block);
    const uint32_t n = protocol::BlockDataLength(block, last, lastLength);
    if (n != 0) std::memcpy(b.data() + protocol::kBlockHeadSize, content.data() + size_t(block) * protocol::kBlockSize, n);
    b.resize(protocol::kBlockHeadSize + n);
    return b;
}
inline Bytes DataBlock(uint32_t file, uint32_t block, const std::u16string& name, const Bytes& content) {
    return BlockPacket(protocol::kDataBlock, file, block, name, content);
}
inline Bytes RepairBlock(uint32_t file, uint32_t block, const std::u16string& name, const Bytes& content) {
    return BlockPacket(protocol::kRepairBlock, file, block, name, content);
}
inline uint32_t BlocksOf(size_t length) { return uint32_t(length / protocol::kBlockSize + 1); }

// The sender's side of the wire: multicasts to the group, unicasts to the
// receiver, and reads the receiver's answers on data port + 2.
class ScriptedSender {
public:
    bool Open(uint32_t group, uint16_t port) {
        group_ = group;
        port_ = port;
        return out_.Open() && out_.Bind(kLoopback, 0) && out_.SetMulticastInterface(kLoopback) &&
               out_.SetMulticastTtl(1) && answers_.Open() && answers_.SetReuseAddress() &&
               answers_.Bind(kLoopback, uint16_t(port + protocol::kAnswerPortOffset));
    }
    void Send(const Bytes& packet) { ASSERT_TRUE(out_.SendTo(packet.data(), packet.size(), {group_, port_})); }
    void SendUnicast(const Bytes& packet) {
        ASSERT_TRUE(out_.SendTo(packet.data(), packet.size(), {kLoopback, port_}));
    }
    void SendReport() {
        Bytes r = ReportPacket();
        ASSERT_TRUE(out_.SendTo(r.data(), r.size(), {protocol::kReportGroup, protocol::kReportPort}));
    }
    // The next answer, or nothing within realMs.
    std::optional<Bytes> Answer(int realMs = 5000) {
        Bytes b(64);
        platform::Endpoint from;
        int n = answers_.ReceiveFromTimeout(b.data(), b.size(), &from, RealToProtocolMs(realMs));
        if (n < 0) return std::nullopt;
        lastFrom = from;
        b.resize(size_t(n));
        return b;
    }
    // The next answer of a type, skipping others (returned in skipped).
    std::optional<Bytes> AnswerOfType(uint8_t type, int realMs = 5000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
        for (;;) {
            int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now())
                               .count());
            if (left <= 0) return std::nullopt;
            auto a = Answer(left);
            if (!a) return std::nullopt;
            if (a->size() > 2 && (*a)[2] == type) return a;
            skipped.push_back(*a);
        }
    }
    platform::Endpoint lastFrom;
    std::vector<Bytes> skipped;

private:
    platform::UdpSocket out_;
    platform::UdpSocket answers_;
    uint32_t group_ = 0;
    uint16_t port_ = 0;
};

// Reports that another process on this machine sends to the report group
// over loopback (a sender's tests or tools) reach every listener here; the
// group and port are fixed by the protocol. Cases that need a silent
// report group look first.
inline bool ForeignReportsHeard(int realMs) {
    platform::UdpSocket probe;
    if (!probe.Open() || !probe.SetReuseAddress() || !probe.Bind(0, protocol::kReportPort) ||
        !probe.JoinGroup(protocol::kReportGroup, kLoopback))
        return false;
    Bytes b(16);
    platform::Endpoint from;
    return probe.ReceiveFromTimeout(b.data(), b.size(), &from, RealToProtocolMs(realMs)) >= 3 && b[2] == protocol::kReport;
}
#define SKIP_IF_REPORT_GROUP_BUSY()                                                             \
    if (ForeignReportsHeard(600)) GTEST_SKIP() << "another process sends Reports on loopback"

inline uint32_t U32(const Bytes& b, size_t offset) { return protocol::GetU32(b.data() + offset); }

inline Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
inline void WriteFile(const fs::path& path, const Bytes& content) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
}

// A real engine on loopback with its own data port, a host window, a log
// recorder and a target root in a temporary directory (a disk, not tmpfs).
class ReceiverFixture : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetTimeScale(kScale);
        char pattern[] = "/tmp/tivlo-receiver-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        sandbox = pattern;
        root = sandbox / "root";
        rootText = platform::Utf8ToUtf16(root.string());
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        port = uint16_t(45000 + 10 * (std::hash<std::string>()(std::string(info->test_suite_name()) + "." +
                                                                 info->name()) %
                                      400));
        platform::SetFixedDiskOverride([](const std::u16string&) { return true; });
        platform::SetFreeSpaceOverride([this](const std::u16string&, uint64_t* bytes) {
            *bytes = freeBytes;
            return true;
        });
        engine = std::make_unique<receiver::ClientEngine>();
        engine->hostWindow = host.window;
        engine->groupAddress = kTestGroup;
        engine->dataPort = port;
    }

    void TearDown() override {
        if (engine) engine->CloseAll();
        engine.reset();
        platform::SetFixedDiskOverride(nullptr);
        platform::SetFreeSpaceOverride(nullptr);
        std::error_code ec;
        fs::remove_all(sandbox, ec);
    }

    // Initialised and, unless told otherwise, receiving.
    void Start(bool threads = true) {
        ASSERT_EQ(engine->Initialize(kLoopback), 1);
        if (threads) engine->StartThreads();
        ASSERT_TRUE(sender.Open(kTestGroup, port));
    }

    // A Task for the target root, answered by 1039.
    void AcceptTask(uint32_t totalBlocks, uint32_t fileCount) {
        int before = host.Count(1039);
        sender.Send(TaskPacket(totalBlocks, fileCount, receiver::kAllBitsMode, rootText));
        ASSERT_TRUE(Eventually([&] { return host.Count(1039) > before; }));
    }

    // Sends the sender's Finish and returns the Answer's count.
    uint32_t FinishAndAnswer() {
        sender.Send(SenderFinish());
        auto answer = sender.AnswerOfType(protocol::kAnswer, 5000);
        EXPECT_TRUE(answer.has_value());
        return answer ? U32(*answer, protocol::off::kAnswerMissing) : UINT32_MAX;
    }

    bool ReceiveThreadEnded() { return engine->receiveDone.IsSet(); }

    fs::path sandbox;
    fs::path root;
    std::u16string rootText;
    uint16_t port = 0;
    uint64_t freeBytes = uint64_t(1) << 40;
    HostRecorder host;
    LogRecorder log;
    ScriptedSender sender;
    std::unique_ptr<receiver::ClientEngine> engine;
};

}  // namespace tivlo::testing
