// Start-up, the announcement of a task, the stream and its end, the abort
// and the tear-down, watched from the data group and the host window.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "platform/clock.h"
#include "protocol/packets.h"
#include "sender/server_engine.h"
#include "sender_harness.h"

namespace {

using namespace sendertest;
using tivlo::sender::ServerEngine;
namespace proto = tivlo::protocol;
namespace fs = std::filesystem;

constexpr uint16_t kPortBase = 43100;
using Stream = SenderTest;

size_t IndexOfType(const std::vector<Packet>& all, uint8_t type, size_t from = 0) {
    for (size_t i = from; i < all.size(); ++i)
        if (all[i].type() == type) return i;
    return all.size();
}

TEST_F(Stream, InitServerAnswersOnPortPlusTwoAndCollectsOnTheGroup) {
    FakeReceiver a(2, port), b(3, port);
    ASSERT_EQ(OpenSender(e, port, host.window()), 1);
    EXPECT_EQ(e.receiveSocket.LocalPort(), port + 2);
    a.Join(1);
    b.Join(1);
    a.Join(1);  // again, from the same address: nothing new
    ASSERT_EQ(e.CollectReceivers(), 1);
    tivlo::platform::SleepMs(500);

    ASSERT_TRUE(group.WaitForType(proto::kCollect, 3));
    auto collects = group.OfType(proto::kCollect);
    ASSERT_EQ(collects.size(), 3u);
    EXPECT_EQ(collects[0].bytes.size(), 3u);
    // Two 100 ms pauses; the tap's own delays on a loaded machine come off.
    EXPECT_GE(collects[2].atMs - collects[0].atMs, 140u) << "100 ms apart";
    EXPECT_EQ(collects[0].fromAddr, kLoopback);

    ASSERT_EQ(e.receiverCount.load(), 2);
    EXPECT_EQ(e.roster[0].address.addr, a.address());
    EXPECT_EQ(e.roster[0].address.port, port) << "the Join's source: the receiver's data port";
    EXPECT_EQ(e.roster[1].address.addr, b.address());
}

TEST_F(Stream, ASecondSenderOnABusyGroupRefusesToStart) {
    TempTree tree;
    auto big = tree.File("big.bin", 16 << 20);
    HostRecorder host1, host2, host3;
    LogRecorder log;
    ServerEngine first, second, third;
    ASSERT_EQ(InitSender(first, port, host1.window()), 1);

    // Idle (nothing sent within 100 ms): a second sender starts.
    second.groupAddress = kTestGroup;
    second.dataPort = port;
    EXPECT_EQ(second.SetUp(kLoopback), 1) << "the group is quiet";
    second.DeInit();

    ASSERT_EQ(first.SetSelectFiles({U16(big)}), 1);
    StartSend(first);
    ASSERT_TRUE(host1.WaitFor(1039, 0));
    third.groupAddress = kTestGroup;
    third.dataPort = port;
    third.hostWindow = host3.window();
    EXPECT_EQ(third.SetUp(kLoopback), 0);
    EXPECT_TRUE(host3.WaitFor(1040, 1006));
    EXPECT_TRUE(log.Contains("\nTivlo----- Another server with same MultiAddress has Exist!\n"));
    // Its send and receive sockets stay open until DeInitServer.
    EXPECT_TRUE(third.sendSocket.IsOpen());
    EXPECT_TRUE(third.receiveSocket.IsOpen());
    EXPECT_FALSE(third.reportSocket.IsOpen());
    third.DeInit();
    EXPECT_FALSE(third.sendSocket.IsOpen());
    first.Stop();
    first.DeInit();
}

// A transfer without losses: Server OS, Task, 1039, the empty directories,
// every Data block in order with its head and data, the empty directories
// once more, and Finish 500 ms after the last block.
TEST_F(Stream, AWholeTaskGoesOutInOrder) {
    TempTree tree;
    auto f0 = tree.File("job/empty.dat", 0);
    auto f1 = tree.File("job/one.dat", 4254);
    auto f2 = tree.File("job/sub/ten.dat", 10000);
    tree.Dir("job/sub/nothing");
    PacketTap report(0, tivlo::protocol::kReportPort, tivlo::protocol::kReportGroup);
    FakeReceiver rx(2, port);
    Open(rx);
    ASSERT_EQ(e.StoreTargetPath(0xFFFFFFFF, u"/in"), 1);
    e.includeSubdirs = 1;
    ASSERT_EQ(e.SetSelectFiles({U16(tree.root() / "job")}), 1);
    ASSERT_EQ(e.transferList.size(), 3u);
    StartSend(e);

    ASSERT_TRUE(group.WaitForType(proto::kFinish, 3));
    ASSERT_TRUE(rx.WaitForPolls(1));
    auto all = group.All();
    size_t collects = IndexOfType(all, proto::kServerOs);
    ASSERT_LT(collects, all.size());
    all.erase(all.begin(), all.begin() + long(collects));  // the Collects
    ASSERT_GE(all.size(), 6u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(all[i].type(), proto::kServerOs);
        EXPECT_EQ(all[i].bytes.size(), 4u);
        EXPECT_EQ(all[i].bytes[3], 1) << "UTF-16 names";
    }
    for (int i = 3; i < 6; ++i) {
        const Packet& t = all[i];
        ASSERT_EQ(t.type(), proto::kTask);
        EXPECT_EQ(t.bytes.size(), 539u);
        EXPECT_EQ(t.U32(3), 1u + 2u + 3u) << "blocks";
        EXPECT_EQ(t.U32(7), 3u) << "files";
        EXPECT_EQ(t.U32(11), 0xFFFFFFFFu);
        EXPECT_EQ(FieldName(t, 15, 535), u"/in");
        EXPECT_EQ(t.U32(535), 4u);
    }
    size_t i = 6;
    for (int k = 0; k < 3; ++k, ++i) {
        ASSERT_EQ(all[i].type(), proto::kEmptyDirectories);
        EXPECT_EQ(all[i].U32(3), 1u);
        EXPECT_EQ(FieldName(all[i], 7, 527), u"\\job\\sub\\nothing");
    }

    // Every Data block in order, with its head and data.
    ExpectDataBlocks(all, i, e,
                     {{u"\\job\\empty.dat", f0}, {u"\\job\\one.dat", f1}, {u"\\job\\sub\\ten.dat", f2}}, tree);
    ASSERT_FALSE(HasFatalFailure());
    const uint64_t lastBlockAt = all[i - 1].atMs;
    std::vector<std::u16string> names;
    for (auto& t : e.transferList) names.push_back(t->relativeName);
    // The empty directories once more, then Finish three times, 500 ms on.
    for (int k = 0; k < 3; ++k, ++i) ASSERT_EQ(all[i].type(), proto::kEmptyDirectories);
    for (int k = 0; k < 3; ++k, ++i) {
        ASSERT_EQ(all[i].type(), proto::kFinish);
        EXPECT_EQ(all[i].bytes.size(), 4u);
    }
    EXPECT_GE(all[i - 3].atMs - lastBlockAt, 480u);
    EXPECT_EQ(i, all.size()) << "nothing else on the group";

    // The first Poll, turn 1, 500 ms after the Finish packets.
    auto polls = rx.tap().OfType(proto::kPoll);
    ASSERT_GE(polls.size(), 1u);
    EXPECT_EQ(polls[0].bytes.size(), 7u);
    EXPECT_EQ(polls[0].U32(3), 1u);
    EXPECT_GE(polls[0].atMs - all[i - 1].atMs, 480u);

    // The host: 1039 (receivers, blocks) first, then a 1042 per Data block.
    auto msgs = host.Messages();
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(msgs[0].message, 1039u);
    EXPECT_EQ(msgs[0].wParam, 1u);
    EXPECT_EQ(msgs[0].lParam, 6);
    auto current = host.Of(1042);
    ASSERT_EQ(current.size(), 6u);
    EXPECT_EQ(current[0].text, names[0]);
    EXPECT_EQ(current[5].text, names[2]);
    EXPECT_EQ(host.Of(1040).size(), 0u) << "the transfer waits for its receiver";

    // The heartbeat went out from the engine's report socket.
    uint16_t reportPort = e.reportSocket.LocalPort();
    EXPECT_TRUE(report.WaitUntil([&](const std::vector<Packet>& ps) {
        for (auto& p : ps)
            if (p.fromPort == reportPort && p.type() == proto::kReport && p.bytes.size() == 7) return true;
        return false;
    }));
}

TEST_F(Stream, FortyFiveEmptyDirectoriesGoOutInPacketsOfFortyAndFive) {
    TempTree tree;
    for (int i = 0; i < 45; ++i) tree.Dir("sel/d" + std::to_string(100 + i));
    ASSERT_EQ(Init(), 1);
    e.includeSubdirs = 1;
    ASSERT_EQ(e.SetSelectFiles({U16(tree.root() / "sel")}), 1);
    StartSend(e);
    ASSERT_TRUE(group.WaitForType(proto::kFinish, 3));
    auto dirs = group.OfType(proto::kEmptyDirectories);
    ASSERT_EQ(dirs.size(), 12u) << "two packets, three times each, twice";
    std::vector<std::u16string> sent;
    for (size_t k = 0; k < 6; ++k) {
        uint32_t n = dirs[k].U32(3);
        EXPECT_EQ(n, k < 3 ? 40u : 5u);
        EXPECT_EQ(dirs[k].bytes.size(), 7 + 524 * n);
        if (k == 0 || k == 3)
            for (uint32_t j = 0; j < n; ++j) sent.push_back(FieldName(dirs[k], 7 + 524 * j, 7 + 524 * j + 520));
    }
    std::vector<std::u16string> listed;
    for (auto& d : e.emptyDirectoryList) listed.push_back(d->name);
    EXPECT_EQ(sent, listed) << "in list order";
    for (size_t k = 6; k < 12; ++k) EXPECT_EQ(dirs[k].bytes, dirs[k - 6].bytes);
    // No files: no Data block; the Finish still follows.
    EXPECT_EQ(group.Count(proto::kDataBlock), 0u);
    EXPECT_TRUE(host.WaitFor(1039, 0));
    EXPECT_TRUE(host.WaitFor(1040, 0)) << "nobody to serve";
}

TEST_F(Stream, StopSendEndsTheStreamAndEveryThreadOfTheTransfer) {
    TempTree tree;
    auto big = tree.File("big.bin", 4 << 20);
    FakeReceiver rx(2, port);
    FakeReceiver late(3, port);
    Open(rx);
    ASSERT_EQ(e.SetSelectFiles({U16(big)}), 1);
    StartSend(e);
    ASSERT_TRUE(group.WaitForType(proto::kDataBlock, 20));
    e.Stop();

    // Three Stop packets; no Data block behind the first of them.
    ASSERT_TRUE(group.WaitForType(proto::kStop, 3));
    auto all = group.All();
    size_t firstStop = IndexOfType(all, proto::kStop);
    for (size_t i = firstStop; i < all.size(); ++i) EXPECT_NE(all[i].type(), proto::kDataBlock);
    ASSERT_TRUE(host.WaitFor(1040, 0));
    // Nothing more follows: no further 1040, no Finish, no Poll, no Data.
    size_t packets = group.All().size();
    tivlo::platform::SleepMs(3000);
    EXPECT_EQ(group.All().size(), packets);
    EXPECT_EQ(host.Of(1040).size(), 1u);
    EXPECT_EQ(rx.Polls(), 0u);
    EXPECT_EQ(group.Count(proto::kFinish), 0u);

    // No answer is handled after StopSend returned.
    late.Join();
    tivlo::platform::SleepMs(200);
    EXPECT_EQ(e.receiverCount.load(), 1);

    // DeInitServer joins everything at once, and InitServer runs again.
    auto t0 = std::chrono::steady_clock::now();
    e.DeInit();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_FALSE(e.sendSocket.IsOpen());
    EXPECT_FALSE(e.reportThread.Running());
    EXPECT_FALSE(e.ackThread.Running());
    EXPECT_EQ(InitSender(e, port, host.window()), 1);
    EXPECT_EQ(e.receiverCount.load(), 0);
}

TEST_F(Stream, ATaskOfFiveGigabytesIsAnnouncedWhole) {
    TempTree tree;
    auto big = tree.root() / "sparse.bin";
    const uint64_t length = 5ull << 30;
    { std::ofstream touch(big); }
    fs::resize_file(big, length);
    ASSERT_EQ(Init(), 1);
    ASSERT_EQ(e.SetSelectFiles({U16(big)}), 1);
    StartSend(e);
    ASSERT_TRUE(group.WaitForType(proto::kDataBlock, 2));
    e.Stop();
    auto task = group.OfType(proto::kTask);
    ASSERT_EQ(task.size(), 3u);
    EXPECT_EQ(task[0].U32(3), uint32_t(length / 4254 + 1));
    auto data = group.OfType(proto::kDataBlock);
    EXPECT_EQ(data[0].U32(11), uint32_t(length / 4254));
    EXPECT_EQ(data[0].U16(16), length % 4254);
    EXPECT_EQ(data[0].bytes.size(), 542u + 4254u);
    auto started = host.Of(1039);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(uint64_t(started[0].lParam), length / 4254 + 1);
}

TEST_F(Stream, ATaskWhoseBlockTotalOverflowsIsRefused) {
    TempTree tree;
    // Two sparse files of 9 TiB: 2^32 blocks would be 17.8 TB.
    std::vector<std::u16string> files;
    for (const char* name : {"a.bin", "b.bin"}) {
        auto p = tree.root() / name;
        { std::ofstream touch(p); }
        std::error_code ec;
        fs::resize_file(p, 9ull << 40, ec);
        if (ec) GTEST_SKIP() << "the file system holds no 9 TiB sparse file: " << ec.message();
        files.push_back(U16(p));
    }
    LogRecorder log;
    ASSERT_EQ(Init(), 1);
    ASSERT_EQ(e.SetSelectFiles(files), 1);
    EXPECT_GT(e.CountTotalBlocks(), uint64_t(UINT32_MAX));
    StartSend(e);
    tivlo::platform::SleepMs(500);
    EXPECT_TRUE(log.Contains("\nTivlo-----Too many blocks in the task, transfer refused!\n"));
    EXPECT_EQ(group.Count(proto::kServerOs), 0u);
    EXPECT_EQ(group.Count(proto::kTask), 0u);
    EXPECT_EQ(host.Of(1039).size(), 0u);
}

TEST_F(Stream, TaskCarriesTheTargetPathAsAZeroFilledField) {
    ASSERT_EQ(Init(), 1);
    ASSERT_EQ(e.StoreTargetPath(39, u"abcde"), 1);
    ASSERT_EQ(e.SetSelectFiles({}), 1);
    StartSend(e);
    ASSERT_TRUE(group.WaitForType(proto::kTask, 3));
    auto t = group.OfType(proto::kTask)[0];
    EXPECT_EQ(t.U32(3), 0u);
    EXPECT_EQ(t.U32(7), 0u);
    EXPECT_EQ(t.U32(11), 39u);
    const char16_t* text = u"abcde";
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(t.bytes[15 + 2 * k], uint8_t(text[k]));
        EXPECT_EQ(t.bytes[16 + 2 * k], 0);
    }
    for (size_t k = 25; k < 535; ++k) ASSERT_EQ(t.bytes[k], 0) << k;
    EXPECT_EQ(t.U32(535), 6u);
    EXPECT_TRUE(host.WaitFor(1039, 0)) << "no receivers: wParam 0";
}

// The pace at real time: two blocks per 10 ms while every receiver uses wide
// names; a single-byte receiver makes it one block per 25 ms.
TEST_F(Stream, PacingFollowsTheReceiversNameForm) {
    RealTime realTime;
    for (uint8_t wide : {1, 0}) {
        const uint16_t port = uint16_t(kPortBase + 80 + wide);
        TempTree tree;
        auto file = tree.File("f.bin", 20 * 4254 - 1);  // 20 blocks
        PacketTap group(0, port, kTestGroup);
        FakeReceiver rx(2, port);
        HostRecorder host;
        ServerEngine e;
        ASSERT_EQ(OpenSender(e, port, host.window()), 1);
        rx.Join(wide);
        tivlo::platform::SleepMs(50);
        EXPECT_EQ(e.allReceiversWide.load(), wide);
        ASSERT_EQ(e.SetSelectFiles({U16(file)}), 1);
        StartSend(e);
        ASSERT_TRUE(group.WaitForType(proto::kDataBlock, 20));
        e.Stop();
        auto data = group.OfType(proto::kDataBlock);
        uint64_t span = data[19].atMs - data[0].atMs;
        if (wide) {
            // Pauses before blocks 3, 5, ..., 19: nine of 10 ms.
            EXPECT_GE(span, 88u);
            EXPECT_LT(span, 190u);
        } else {
            EXPECT_GE(span, 19u * 25u - 10u);
        }
        e.DeInit();
    }
}

TEST_F(Stream, AFileThatCannotBeOpenedEndsTheTransferWithCode32) {
    TempTree tree;
    auto a = tree.File("a.bin", 5000);
    auto b = tree.File("b.bin", 5000);
    ASSERT_EQ(Init(), 1);
    ASSERT_EQ(e.SetSelectFiles({U16(a), U16(b)}), 1);
    fs::remove(b);
    StartSend(e);
    ASSERT_TRUE(host.WaitFor(1040, 32));
    EXPECT_EQ(host.Of(1040).size(), 2u);
    EXPECT_EQ(host.Of(1040)[0].wParam, 0u);
    EXPECT_EQ(group.Count(proto::kDataBlock), 2u) << "the first file only";
    EXPECT_EQ(group.Count(proto::kStop), 3u);
    tivlo::platform::SleepMs(1500);
    EXPECT_EQ(group.Count(proto::kFinish), 0u);
}

TEST_F(Stream, AFailedDataSendClosesTheSocketsAndReports1003) {
    TempTree tree;
    auto big = tree.File("big.bin", 8 << 20);
    LogRecorder log;
    ASSERT_EQ(Init(), 1);
    ASSERT_EQ(e.SetSelectFiles({U16(big)}), 1);
    StartSend(e);
    ASSERT_TRUE(group.WaitForType(proto::kDataBlock, 10));
    e.sendSocket.Close();
    ASSERT_TRUE(host.WaitFor(1040, 1003));
    EXPECT_TRUE(log.Contains("\nTivlo-----Send Data form write file!\n"));
    EXPECT_FALSE(e.receiveSocket.IsOpen());
    EXPECT_FALSE(e.reportSocket.IsOpen());
}

}  // namespace
