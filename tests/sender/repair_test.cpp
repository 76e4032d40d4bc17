// The repair phase, driven by scripted receivers over loopback: answers,
// masters one after another, Repair blocks, Holds, failures and the
// watchdog.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>

#include "platform/clock.h"
#include "protocol/packets.h"
#include "sender/server_engine.h"
#include "sender_harness.h"

namespace {

using namespace sendertest;
using tivlo::sender::ServerEngine;
namespace proto = tivlo::protocol;

constexpr uint16_t kPortBase = 43300;  // each scenario its own port, +10 apart

// Two files of ten blocks each (the second with a short last block), a
// sender on the given port, and n fake receivers 127.0.0.2 ... that joined.
class Scenario {
public:
    // extraBlocks: a third file of that many blocks, for a longer stream.
    Scenario(uint16_t port, int receivers, uint32_t extraBlocks = 0)
        : port_(port), extraBlocks_(extraBlocks), group(0, port, kTestGroup) {
        files.push_back(tree.File("set/first.bin", 10 * 4254 - 1));
        files.push_back(tree.File("set/second.bin", 9 * 4254 + 100));
        if (extraBlocks > 0) files.push_back(tree.File("set/third.bin", extraBlocks * 4254 - 1));
        for (int i = 0; i < receivers; ++i)
            rx.push_back(std::make_unique<FakeReceiver>(uint8_t(2 + i), port));
        EXPECT_EQ(OpenSender(e, port, host.window()), 1);
        for (auto& r : rx) r->Join();
        EXPECT_EQ(e.CollectReceivers(), 1);
        tivlo::platform::SleepMs(500);
        EXPECT_EQ(e.receiverCount.load(), receivers);
        std::vector<std::u16string> paths;
        for (auto& f : files) paths.push_back(U16(f));
        EXPECT_EQ(e.SetSelectFiles(paths), 1);
    }
    ~Scenario() { e.DeInit(); }

    void Start() {
        StartSend(e);
        ASSERT_TRUE(host.WaitFor(1039, uintptr_t(rx.size())));
        ASSERT_EQ(e.totalBlocks.load(), 20u + extraBlocks_);
    }
    FakeReceiver& operator[](size_t i) { return *rx[i]; }
    // Repair blocks seen on the group, as (file, block).
    std::vector<std::pair<uint32_t, uint32_t>> GroupRepairs() {
        std::vector<std::pair<uint32_t, uint32_t>> out;
        for (auto& p : group.OfType(proto::kRepairBlock)) out.emplace_back(p.U32(3), p.U32(7));
        return out;
    }
    std::vector<uint32_t> ErrInfo() {
        std::array<uint32_t, 401> out{};
        int n = e.GetErrInfo(out.data());
        return {out.begin(), out.begin() + 1 + 2 * n};
    }
    // Receiver i has everything: its Ack(3, 0) brings Poll(0), then it finishes.
    void Complete(size_t i) {
        rx[i]->Ack(3, 0);
        ASSERT_TRUE(rx[i]->tap().WaitUntil([](auto& all) {
            return !all.empty() && all.back().type() == proto::kPoll && all.back().U32(3) == 0;
        }));
        rx[i]->Finish(0);
    }
    // The last packet of a type a receiver got.
    Packet Last(FakeReceiver& r, uint8_t type) { return r.tap().OfType(type).back(); }

    uint16_t port_;
    uint32_t extraBlocks_;
    TempTree tree;
    std::vector<std::filesystem::path> files;
    PacketTap group;
    std::vector<std::unique_ptr<FakeReceiver>> rx;
    HostRecorder host;
    ServerEngine e;
};

void ExpectRepairOf(const Packet& p, const std::vector<uint8_t>& content, uint32_t file, uint32_t block,
                    const std::u16string& name) {
    ExpectBlock(p, proto::kRepairBlock, content, file, block, name);
}

TEST(Repair, EveryoneCompleteAtOnceEndsWithoutAPoll) {
    Scenario s(kPortBase, 3);
    s.Start();
    s[0].Answer(0);
    s[1].Answer(0);
    s[2].Answer(7);  // 35 % of 20: given up, not repaired
    ASSERT_TRUE(s.host.WaitFor(1040, 0));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(s[i].Polls(), 0u);
    EXPECT_EQ(s.ErrInfo(), (std::vector<uint32_t>{1, s[2].address(), 1}));
    // The answer thread ends without waiting for another datagram.
    auto t0 = std::chrono::steady_clock::now();
    s.e.ackThread.Join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    tivlo::platform::SleepMs(2000);
    EXPECT_EQ(s.host.Of(1040).size(), 1u);
    EXPECT_EQ(s.group.Count(proto::kStop), 0u);
}

// Receiver 0 misses blocks and is served first, with Repair blocks to the
// whole group; receiver 1 asks out of turn and is served in the second pass,
// alone; receiver 2 has everything.
TEST(Repair, MastersAreServedInTurnFirstToTheGroupThenAlone) {
    Scenario s(kPortBase + 10, 3);
    auto first = s.tree.Read(s.files[0]);
    auto second = s.tree.Read(s.files[1]);
    s.Start();
    s[0].Answer(3);
    s[1].Answer(1);
    s[2].Answer(0);
    ASSERT_TRUE(s[0].WaitForPolls(1));
    EXPECT_EQ(s[0].PollTurn(0), 1u);

    s[0].Ack(1, 0);
    ASSERT_TRUE(s.group.WaitForType(proto::kRepairBlock, 1));
    ExpectRepairOf(s.group.OfType(proto::kRepairBlock)[0], first, 1, 0, u"\\first.bin");
    // 1042 after the Repair block, as after each of the 20 Data blocks.
    ASSERT_TRUE(s.host.WaitUntil([](auto& all) {
        return std::count_if(all.begin(), all.end(), [](auto& m) { return m.message == 1042; }) >= 21;
    }));
    EXPECT_EQ(s.host.Of(1042).at(20).text, u"\\first.bin");

    s[0].Ack(2, 9);  // the short last block of the second file
    ASSERT_TRUE(s.group.WaitUntil([](auto& all) {
        for (auto& p : all)
            if (p.type() == proto::kRepairBlock && p.U32(3) == 2) return true;
        return false;
    }));
    for (auto& p : s.group.OfType(proto::kRepairBlock))
        if (p.U32(3) == 2) ExpectRepairOf(p, second, 2, 9, u"\\second.bin");

    // Out of turn: receiver 1 still misses a block; receiver 2 misses nothing.
    s[1].Ack(1, 4);
    ASSERT_TRUE(s[1].tap().WaitForType(proto::kHold, 1));
    EXPECT_EQ(s.Last(s[1], proto::kHold).bytes, (std::vector<uint8_t>{0x91, 0x02, 4, 0, 0}));
    s[2].Ack(3, 0);
    ASSERT_TRUE(s[2].tap().WaitForType(proto::kHold, 1));
    EXPECT_EQ(s.Last(s[2], proto::kHold).bytes[3], 1);
    EXPECT_EQ(s.e.roster[1].pending.load(), 1u);
    EXPECT_EQ(s.e.roster[1].errorCode.load(), 1460u);
    EXPECT_EQ(s.e.roster[2].pending.load(), 0u);
    EXPECT_EQ(s.e.roster[2].errorCode.load(), 0u);

    // Receiver 0 has everything: Poll with turn 0, then its Finish.
    s.Complete(0);

    // The second pass: receiver 1, unicast.
    ASSERT_TRUE(s[1].WaitForPolls(1));
    EXPECT_EQ(s[1].PollTurn(0), 1u);
    EXPECT_EQ(s.e.unicastPhase.load(), 1u);
    size_t groupRepairs = s.group.Count(proto::kRepairBlock);
    s[1].Ack(1, 4);
    ASSERT_TRUE(s[1].tap().WaitForType(proto::kRepairBlock, 1));
    ExpectRepairOf(s[1].tap().OfType(proto::kRepairBlock)[0], first, 1, 4, u"\\first.bin");
    EXPECT_EQ(s[0].tap().Count(proto::kRepairBlock), 0u) << "the others do not see it";
    s[2].Ack(3, 0);
    ASSERT_TRUE(s[2].tap().WaitForType(proto::kHold, 2));
    EXPECT_EQ(s.Last(s[2], proto::kHold).bytes[4], 1) << "the Hold names the unicast phase";

    s.Complete(1);
    ASSERT_TRUE(s.host.WaitFor(1040, 0));
    EXPECT_EQ(s.group.Count(proto::kRepairBlock), groupRepairs);
    EXPECT_EQ(s.ErrInfo(), std::vector<uint32_t>{0}) << "a finished master carries no code";
    tivlo::platform::SleepMs(2000);
    EXPECT_EQ(s.host.Of(1040).size(), 1u);
}

TEST(Repair, AReceiverThatGivesUpIsReportedAtOnceAndAllFailingEndsTheTransfer) {
    Scenario s(kPortBase + 20, 2);
    LogRecorder log;
    // While the host handles the first 1054 the answer thread waits: the
    // second Finish(1), sent meanwhile, is not handled yet.
    std::atomic<int> seenDuringHandler{-1};
    s.host.onDiskFull = [&](const HostMessage& m) {
        if (m.lParam == intptr_t(s[0].address())) {
            s[1].Finish(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            seenDuringHandler = s.e.failedCount.load();
        }
    };
    s.Start();
    s[0].Finish(1);
    ASSERT_TRUE(s.host.WaitFor(1040, 0));
    const size_t pollsAtEnd = s[0].Polls() + s[1].Polls();
    EXPECT_EQ(seenDuringHandler.load(), 1);
    auto full = s.host.Of(1054);
    ASSERT_EQ(full.size(), 2u);
    EXPECT_EQ(full[0].wParam, 112u);
    EXPECT_EQ(full[0].lParam, intptr_t(s[0].address()));
    EXPECT_EQ(full[1].lParam, intptr_t(s[1].address()));
    EXPECT_EQ(log.Count("Tivlo......PostMessage WM_CLIENT_DISKFULL....\n"), 2u);
    EXPECT_EQ(s.ErrInfo(), (std::vector<uint32_t>{2, s[0].address(), 112, s[1].address(), 112}));
    // The stream runs to its end, but once the transfer has ended nobody is
    // polled and nothing more is reported.
    ASSERT_TRUE(s.group.WaitForType(proto::kFinish, 3));
    tivlo::platform::SleepMs(2000);
    EXPECT_EQ(s.host.Of(1040).size(), 1u);
    EXPECT_EQ(s[0].Polls() + s[1].Polls(), pollsAtEnd);
}

TEST(Repair, TheOnlyReceiverGivingUpEndsTheTransferAfterItsMessage) {
    Scenario s(kPortBase + 30, 1, 2000);
    s.Start();
    s[0].Finish(1);
    ASSERT_TRUE(s.host.WaitFor(1040, 0));
    EXPECT_EQ(s.group.Count(proto::kFinish), 0u) << "ended at once, not by the end of the stream";
    auto all = s.host.Messages();
    size_t full = 0, ended = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i].message == 1054) full = i;
        if (all[i].message == 1040) ended = i;
    }
    EXPECT_LT(full, ended);
    EXPECT_EQ(s.ErrInfo(), (std::vector<uint32_t>{1, s[0].address(), 112}));
}

// The master falls silent after its first request: the block goes out again
// at the second idle tick, and at the ninth the master is passed over.
TEST(Repair, ASilentMasterGetsItsBlockAgainAndIsThenPassedOver) {
    Scenario s(kPortBase + 40, 3);
    s.Start();
    s[0].Answer(2);
    s[1].Answer(1);
    s[2].Answer(0);
    ASSERT_TRUE(s[0].WaitForPolls(1));
    s[0].Ack(1, 3);
    ASSERT_TRUE(s[1].WaitForPolls(1, std::chrono::seconds(20)));
    auto repairs = s.group.OfType(proto::kRepairBlock);
    ASSERT_EQ(repairs.size(), 2u) << "sent once, and once more";
    EXPECT_EQ(repairs[1].bytes, repairs[0].bytes);
    uint64_t resentAfter = repairs[1].atMs - repairs[0].atMs;
    EXPECT_GE(resentAfter, 900u);
    EXPECT_LE(resentAfter, 2600u);
    uint64_t passedAfter = s[1].tap().OfType(proto::kPoll)[0].atMs - repairs[0].atMs;
    EXPECT_GE(passedAfter, 4000u);
    EXPECT_LE(passedAfter, 8000u);
    // Second idle tick to ninth: seven ticks of 500 ms.
    uint64_t resentToPassed = s[1].tap().OfType(proto::kPoll)[0].atMs - repairs[1].atMs;
    EXPECT_GE(resentToPassed, 3400u);
    EXPECT_LE(resentToPassed, 4500u);
    EXPECT_EQ(s.e.roster[0].pending.load(), 1u);
    EXPECT_EQ(s.e.roster[0].errorCode.load(), 1460u);

    // The next master completes; the silent one keeps its code.
    s[1].Ack(2, 0);
    ASSERT_TRUE(s.group.WaitForType(proto::kRepairBlock, 3));
    s.Complete(1);
    ASSERT_TRUE(s.host.WaitFor(1040, 0));
    EXPECT_EQ(s.ErrInfo(), (std::vector<uint32_t>{1, s[0].address(), 1460}));
    EXPECT_EQ(s.host.Count(1040, 1460), 0u);
}

// Nobody answering after the stream: the first Poll and four more to each
// receiver, then 1040 (0, 0) and 1040 (1460, 0), and every receiver carries 1460.
TEST(Repair, NobodyAnsweringEndsWithTimeoutAfterFourMorePollsEach) {
    for (int receivers : {1, 2}) {
        Scenario s(uint16_t(kPortBase + 50 + 20 * (receivers - 1)), receivers);
        s.Start();
        ASSERT_TRUE(s.host.WaitFor(1040, 1460, 1, std::chrono::seconds(20)));
        std::vector<uint32_t> codes{uint32_t(receivers)};
        for (int r = 0; r < receivers; ++r) {
            EXPECT_EQ(s[r].Polls(), 5u);
            for (size_t i = 0; i < 5; ++i) EXPECT_EQ(s[r].PollTurn(i), 1u);
            codes.insert(codes.end(), {s[r].address(), 1460});
        }
        auto ended = s.host.Of(1040);
        ASSERT_EQ(ended.size(), 2u);
        EXPECT_EQ(ended[0].wParam, 0u);
        EXPECT_EQ(ended[1].wParam, 1460u);
        EXPECT_EQ(s.group.Count(proto::kStop), 3u);
        EXPECT_EQ(s.ErrInfo(), codes);
        if (receivers > 1) continue;
        tivlo::platform::SleepMs(2000);
        EXPECT_EQ(s[0].Polls(), 5u);
    }
}

// A dead first master does not stall the others: it is passed over, the
// next one is served, and only the dead one carries 1460.
TEST(Repair, ADeadFirstMasterIsPassedOverAndTheOthersAreServed) {
    Scenario s(kPortBase + 60, 2);
    s.Start();
    s[1].Answer(1);
    ASSERT_TRUE(s[1].WaitForPolls(1, std::chrono::seconds(20)));
    EXPECT_EQ(s[0].Polls(), 5u);
    s[1].Ack(2, 2);
    ASSERT_TRUE(s.group.WaitForType(proto::kRepairBlock, 1));
    s.Complete(1);
    ASSERT_TRUE(s.host.WaitFor(1040, 0));
    tivlo::platform::SleepMs(1000);
    EXPECT_EQ(s.host.Of(1040).size(), 1u);
    EXPECT_EQ(s.ErrInfo(), (std::vector<uint32_t>{1, s[0].address(), 1460}));
}

TEST(Repair, StopAndTearDownInTheMiddleOfTheRepairPhase) {
    Scenario s(kPortBase + 80, 1);
    s.Start();
    s[0].Answer(1);
    ASSERT_TRUE(s[0].WaitForPolls(1));
    s[0].Ack(1, 1);
    ASSERT_TRUE(s.group.WaitForType(proto::kRepairBlock, 1));
    s.e.Stop();
    ASSERT_TRUE(s.host.WaitFor(1040, 0));
    size_t polls = s[0].Polls();
    size_t repairs = s.group.Count(proto::kRepairBlock);
    // The answer thread handles nothing more, the watchdog is gone.
    s[0].Ack(1, 2);
    tivlo::platform::SleepMs(6000);
    EXPECT_EQ(s[0].Polls(), polls);
    EXPECT_EQ(s.group.Count(proto::kRepairBlock), repairs);
    EXPECT_EQ(s.host.Of(1040).size(), 1u);
    EXPECT_EQ(s.group.Count(proto::kStop), 3u);
    auto t0 = std::chrono::steady_clock::now();
    s.e.DeInit();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
}

TEST(Repair, TearDownWhileTheWatchdogWaitsJoinsEverythingPromptly) {
    Scenario s(kPortBase + 90, 1);
    s.Start();
    ASSERT_TRUE(s[0].WaitForPolls(2));
    auto t0 = std::chrono::steady_clock::now();
    s.e.DeInit();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    size_t polls = s[0].Polls();
    tivlo::platform::SleepMs(3000);
    EXPECT_EQ(s[0].Polls(), polls);
    // InitServer can run again at once on the same port.
    EXPECT_EQ(InitSender(s.e, s.port_, s.host.window()), 1);
}

// A Repair block is read from the file the current list names, even when
// the list was rebuilt with the old file still open for repairs.
TEST(Repair, ANewListNeverServesBlocksOfAnOldFile) {
    Scenario s(kPortBase + 100, 0);
    auto other = s.tree.File("set/other.bin", 5000);
    s.e.fileCount = 2;
    s.e.lastRequestFile = 1;
    s.e.lastRequestBlock = 0;
    s.e.SendRepairBlock();
    ASSERT_TRUE(s.group.WaitForType(proto::kRepairBlock, 1));
    ExpectRepairOf(s.group.OfType(proto::kRepairBlock)[0], s.tree.Read(s.files[0]), 1, 0, u"\\first.bin");

    ASSERT_EQ(s.e.SetSelectFiles({U16(other)}), 1);
    s.e.fileCount = 1;  // as the next StartSend sets it
    s.e.SendRepairBlock();
    ASSERT_TRUE(s.group.WaitForType(proto::kRepairBlock, 2));
    ExpectRepairOf(s.group.OfType(proto::kRepairBlock)[1], s.tree.Read(other), 1, 0, u"\\other.bin");
}

TEST(Repair, AFileThatCannotBeReadForARepairEndsTheTransferWithCode32) {
    Scenario s(kPortBase + 110, 1);
    s.Start();
    s[0].Answer(1);
    ASSERT_TRUE(s[0].WaitForPolls(1));
    std::filesystem::remove(s.files[1]);
    s[0].Ack(2, 0);
    ASSERT_TRUE(s.host.WaitFor(1040, 32));
    auto ended = s.host.Of(1040);
    ASSERT_EQ(ended.size(), 2u);
    EXPECT_EQ(ended[0].wParam, 0u) << "the abort comes first";
    EXPECT_EQ(s.group.Count(proto::kRepairBlock), 0u);
    EXPECT_EQ(s.group.Count(proto::kStop), 3u);
}

}  // namespace
