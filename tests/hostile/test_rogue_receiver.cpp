// A rogue receiver against a real sender, beside a legitimate receiver (both
// engines of the library, through its exports, on loopback): Joins from 300
// addresses (127.0.x.y), Acks for files beyond the list and for huge block
// indices, and Finish(1) storms from strangers and from a rogue that joined.
// The roster stops at 200, the Acks get Holds, the storms end nothing, and
// the legitimate receiver's copy completes byte-exact.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/engines.h"
#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "protocol/packets.h"
#include "protocol/wire.h"
#include "support/test_host.h"
#include "tivlo/tivlo.h"

namespace {

namespace fs = std::filesystem;
using Host = tivlo::testing::TestHost;
using tivlo::testing::RandomContent;
using Bytes = std::vector<uint8_t>;
using namespace tivlo;

const uint32_t kLoopback = platform::ParseIPv4("127.0.0.1");
const uint32_t kGroup = platform::ParseIPv4("239.77.6.33");
constexpr uint16_t kPort = 46610;


std::atomic<int> g_rosterFull{0};
void CountLog(void*, const char16_t* line) {
    if (std::u16string(line).find(u"Roster full") != std::u16string::npos) g_rosterFull.fetch_add(1);
}

// Sends one answer from 127.0.x.y (an ephemeral port: what comes back to
// that address goes nowhere).
void SendFrom(uint8_t x, uint8_t y, const Bytes& packet) {
    platform::UdpSocket s;
    ASSERT_TRUE(s.Open());
    ASSERT_TRUE(s.Bind(protocol::IPv4(127, 0, x, y), 0));
    ASSERT_TRUE(s.SendTo(packet.data(), packet.size(), {kLoopback, uint16_t(kPort + protocol::kAnswerPortOffset)}));
}

Bytes Answer(uint8_t type, uint32_t a, uint32_t b, size_t size) {
    Bytes p(size, 0);
    p[0] = protocol::kMagic0;
    p[1] = protocol::kMagic1;
    p[2] = type;
    if (size >= 7) protocol::PutU32(p.data() + 3, a);
    else if (size >= 4) p[3] = uint8_t(a);
    if (size >= 11) protocol::PutU32(p.data() + 7, b);
    return p;
}


TEST(RogueReceiver, FloodsOfJoinsAcksAndFinishesLeaveTheLegitimateCopyWhole) {
    platform::SetTimeScale(0.05);
    platform::SetFixedDiskOverride([](const std::u16string&) { return true; });
    TivloSetLogSink(&CountLog, nullptr);
    char pattern[] = "/tmp/tivlo-hostile-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    const Bytes content = RandomContent(30 * protocol::kBlockSize + 77, 11);
    fs::create_directories(dir / "src" / "set");
    {
        std::ofstream out(dir / "src" / "set" / "data.bin", std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    }

    Host receiverHost, senderHost;
    ASSERT_EQ(InitClient(receiverHost.window, kGroup, kPort, kLoopback), 1);
    // Some Data blocks are lost, so the legitimate receiver needs the
    // repair phase while the rogues are about.
    std::atomic<int> dropped{0};
    api::TheClient().dataSocket.SetInboundFilter([&](const uint8_t* d, size_t n) {
        if (n < protocol::kBlockHeadSize || d[2] != protocol::kDataBlock) return false;
        const uint32_t block = protocol::GetU32(d + protocol::off::kBlockIndex);
        if (block % 7 != 3) return false;
        dropped.fetch_add(1);
        return true;
    });
    ASSERT_EQ(StartReceive(), 1);
    ASSERT_EQ(InitServer(senderHost.window, kGroup, kPort, kLoopback), 1);
    ASSERT_EQ(api::TheServer().receiverCount.load(), 1) << "the legitimate receiver joined";

    // 300 Joins from 300 addresses: 199 more fit. They go in batches that
    // the answer thread takes in before the next, so that a slow (sanitized)
    // build does not lose some in the socket's buffer.
    auto handled = [&] { return api::TheServer().receiverCount.load() - 1 + g_rosterFull.load(); };
    for (int i = 0; i < 300; ++i) {
        SendFrom(uint8_t(1 + i / 200), uint8_t(2 + i % 200), Answer(protocol::kJoin, 1, 0, 4));
        if (i % 25 == 24) {
            for (int w = 0; w < 2000 && handled() < i + 1; ++w) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ASSERT_EQ(g_rosterFull.load(), 101);
    EXPECT_EQ(api::TheServer().receiverCount.load(), 200);

    const std::u16string target = platform::Utf8ToUtf16((dir / "target").string());
    ASSERT_EQ(SetTargetPath(TIVLO_TARGET_MODE_PATH, target.c_str()), 1);
    const std::u16string selected = platform::Utf8ToUtf16((dir / "src" / "set").string());
    const char16_t* items[] = {selected.c_str()};
    TivloStringArray selection{1, items};
    ASSERT_EQ(SetSelectFiles(&selection), 1);
    ASSERT_EQ(StartSend(), 1);

    // During the stream and the repair phase: Acks for files beyond the list
    // and for huge blocks, from a rogue in the roster and from a stranger;
    // Finish(1) storms from a stranger and from one rogue.
    std::atomic<bool> stop{false};
    std::thread storm([&] {
        while (!stop.load()) {
            SendFrom(1, 2, Answer(protocol::kAck, 2, 0xFFFFFFFFu, 11));
            SendFrom(1, 2, Answer(protocol::kAck, 1, 0x7FFFFFFFu, 11));
            SendFrom(9, 9, Answer(protocol::kAck, 0xFFFFFFFFu, 0xFFFFFFFFu, 11));
            SendFrom(9, 9, Answer(protocol::kFinish, 1, 0, 4));
            SendFrom(1, 3, Answer(protocol::kFinish, 1, 0, 4));
            SendFrom(9, 10, Answer(protocol::kAnswer, 0, 0, 7));
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    const bool completed = receiverHost.WaitFor(TIVLO_MSG_TRANSFER_ENDED, 0, 1, 20000);
    stop = true;
    storm.join();
    ASSERT_TRUE(completed) << "the legitimate receiver never completed";
    EXPECT_GT(dropped.load(), 0);
    {
        std::ifstream in(dir / "target" / "set" / "data.bin", std::ios::binary);
        EXPECT_EQ(Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), content);
    }
    // The stranger's storm counted for nothing; the rogue in the roster gave
    // up once; the transfer was not ended by them.
    EXPECT_EQ(api::TheServer().failedCount.load(), 1);
    EXPECT_EQ(senderHost.Count(TIVLO_MSG_CLIENT_DISKFULL), 1);
    EXPECT_EQ(senderHost.Count(TIVLO_MSG_CLIENT_DISKFULL, 112, intptr_t(protocol::IPv4(127, 0, 1, 3))), 1);
    EXPECT_EQ(api::TheServer().roster[0].errorCode.load(), 0u) << "the legitimate receiver carries no code";
    EXPECT_EQ(receiverHost.Count(TIVLO_MSG_TRANSFER_ENDED, TIVLO_CODE_INCOMPLETE), 0);

    TivloSetLogSink(nullptr, nullptr);
    api::TheClient().dataSocket.SetInboundFilter(nullptr);
    DeInitServer();
    DeInitClient();
    platform::SetFixedDiskOverride(nullptr);
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace
