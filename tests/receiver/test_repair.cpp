// The repair phase: end-of-pass Answer, Poll, Hold, Repair blocks and Acks,
// with a scripted sender and, where timing matters, the handlers called
// directly.
#include <set>

#include "receiver_harness.h"

namespace tivlo::testing {
namespace {

using RepairTest = ReceiverFixture;

std::pair<uint32_t, uint32_t> AckOf(const Bytes& ack) {
    return {U32(ack, protocol::off::kAckFile), U32(ack, protocol::off::kAckBlock)};
}

TEST_F(RepairTest, PollZeroWithNothingMissingFinishesAndEnds) {
    Start();
    const Bytes content = Content(2 * protocol::kBlockSize + 9, 1);
    AcceptTask(3, 1);
    sender.Send(DataBlock(1, 0, u"\\f.bin", content));
    sender.Send(DataBlock(1, 2, u"\\f.bin", content));
    EXPECT_EQ(FinishAndAnswer(), 1u);
    // Taken while not served: kept, and no Ack leaves the receiver.
    sender.Send(RepairBlock(1, 1, u"\\f.bin", content));
    EXPECT_FALSE(sender.AnswerOfType(protocol::kAck, 200));
    sender.SendUnicast(PollPacket(0));
    auto finish = sender.AnswerOfType(protocol::kFinish);
    ASSERT_TRUE(finish);
    EXPECT_EQ((*finish)[3], 0);
    ASSERT_TRUE(Eventually([&] { return ReceiveThreadEnded(); }));
    ASSERT_TRUE(host.WaitFor(1040, 0, 1));
    EXPECT_EQ(ReadFile(root / "f.bin"), content);
    EXPECT_FALSE(sender.AnswerOfType(protocol::kAck, 100));
}

TEST_F(RepairTest, AServedReceiverAsksForEveryMissingBlockInTurn) {
    Start();
    const Bytes content = Content(4 * protocol::kBlockSize + 20, 2);
    AcceptTask(5, 1);
    for (uint32_t b : {0u, 1u, 4u}) sender.Send(DataBlock(1, b, u"\\f.bin", content));
    EXPECT_EQ(FinishAndAnswer(), 2u);

    // Poll 0 while blocks are missing: an Ack, and the receiver is served.
    sender.SendUnicast(PollPacket(0));
    std::set<uint32_t> asked;
    auto ack = sender.AnswerOfType(protocol::kAck);
    ASSERT_TRUE(ack);
    auto [file, block] = AckOf(*ack);
    EXPECT_EQ(file, 1u);
    EXPECT_TRUE(block == 2 || block == 3) << block;
    asked.insert(block);
    sender.Send(RepairBlock(1, block, u"\\f.bin", content));
    ack = sender.AnswerOfType(protocol::kAck);
    ASSERT_TRUE(ack);
    std::tie(file, block) = AckOf(*ack);
    EXPECT_EQ(file, 1u);
    EXPECT_TRUE((block == 2 || block == 3) && !asked.contains(block)) << block;
    // The block that empties the map is followed by file count + 1.
    sender.Send(RepairBlock(1, block, u"\\f.bin", content));
    ack = sender.AnswerOfType(protocol::kAck);
    ASSERT_TRUE(ack);
    EXPECT_EQ(AckOf(*ack), std::make_pair(2u, 0u));

    sender.SendUnicast(PollPacket(0));
    auto finish = sender.AnswerOfType(protocol::kFinish);
    ASSERT_TRUE(finish);
    EXPECT_EQ((*finish)[3], 0);
    ASSERT_TRUE(host.WaitFor(1040, 0, 1));
    EXPECT_EQ(ReadFile(root / "f.bin"), content);
}

TEST_F(RepairTest, ThreeSenderFinishesMakeOneAnswer) {
    Start();
    const Bytes content = Content(3 * protocol::kBlockSize, 3);
    AcceptTask(4, 1);
    sender.Send(DataBlock(1, 0, u"\\f.bin", content));
    for (int i = 0; i < 3; ++i) sender.Send(SenderFinish());
    auto answer = sender.AnswerOfType(protocol::kAnswer, 3000);
    ASSERT_TRUE(answer);
    EXPECT_EQ(U32(*answer, protocol::off::kAnswerMissing), 3u);
    EXPECT_FALSE(sender.AnswerOfType(protocol::kAnswer, 400));
    EXPECT_FALSE(ReceiveThreadEnded());
}

TEST_F(RepairTest, AWhollySkippedFileIsRegisteredWhenItsBlockZeroArrives) {
    Start();
    const Bytes one = Content(100, 4);
    const Bytes two = Content(3 * protocol::kBlockSize + 77, 5);
    const Bytes three = Content(200, 6);
    // A file of an earlier transfer at the same path, longer than the new one.
    WriteFile(root / "two.bin", Content(5 * protocol::kBlockSize, 7));
    AcceptTask(1 + 4 + 1, 3);
    sender.Send(DataBlock(1, 0, u"\\one.bin", one));
    sender.Send(DataBlock(3, 0, u"\\three.bin", three));
    EXPECT_EQ(FinishAndAnswer(), 1u);  // file 2, one entry for all of it

    // Not wanted: a second copy of a block already here is dropped.
    sender.Send(RepairBlock(1, 0, u"\\one.bin", Content(100, 99)));

    sender.SendUnicast(PollPacket(1));
    auto ack = sender.AnswerOfType(protocol::kAck);
    ASSERT_TRUE(ack);
    EXPECT_EQ(AckOf(*ack), std::make_pair(2u, 0u));
    std::set<uint32_t> served{0};
    sender.Send(RepairBlock(2, 0, u"\\two.bin", two));
    for (;;) {
        ack = sender.AnswerOfType(protocol::kAck);
        ASSERT_TRUE(ack);
        auto [file, block] = AckOf(*ack);
        if (file == 4) break;
        ASSERT_EQ(file, 2u);
        ASSERT_TRUE(served.insert(block).second) << "asked twice for " << block;
        sender.Send(RepairBlock(2, block, u"\\two.bin", two));
    }
    EXPECT_EQ(served, (std::set<uint32_t>{0, 1, 2, 3}));
    sender.SendUnicast(PollPacket(0));
    ASSERT_TRUE(sender.AnswerOfType(protocol::kFinish));
    ASSERT_TRUE(host.WaitFor(1040, 0, 1));
    EXPECT_EQ(ReadFile(root / "one.bin"), one);
    EXPECT_EQ(ReadFile(root / "two.bin"), two);
    EXPECT_EQ(ReadFile(root / "three.bin"), three);
}

TEST_F(RepairTest, APollInThePassClosesItWhenEveryFinishWasLost) {
    Start();
    const Bytes content = Content(5 * protocol::kBlockSize + 1, 8);
    AcceptTask(6 + 1, 2);
    for (uint32_t b = 0; b < 3; ++b) sender.Send(DataBlock(1, b, u"\\f.bin", content));
    ASSERT_TRUE(Eventually([&] { return host.Count(1042) == 3; }));
    sender.SendUnicast(PollPacket(1));
    auto answer = sender.AnswerOfType(protocol::kAnswer);
    ASSERT_TRUE(answer);
    EXPECT_EQ(U32(*answer, protocol::off::kAnswerMissing), 4u);  // blocks 3 to 5, and file 2
    auto ack = sender.AnswerOfType(protocol::kAck);
    ASSERT_TRUE(ack);
    auto [file, block] = AckOf(*ack);
    EXPECT_TRUE((file == 1 && block >= 3 && block <= 5) || (file == 2 && block == 0)) << file << "," << block;
}

TEST_F(RepairTest, AHoldInThePassClosesItAndEndsACompleteReceiver) {
    Start();
    const Bytes content = Content(1000, 9);
    AcceptTask(1, 1);
    sender.Send(DataBlock(1, 0, u"\\f.bin", content));
    sender.SendUnicast(HoldPacket(0, 0));
    auto answer = sender.AnswerOfType(protocol::kAnswer);
    ASSERT_TRUE(answer);
    EXPECT_EQ(U32(*answer, protocol::off::kAnswerMissing), 0u);
    ASSERT_TRUE(host.WaitFor(1040, 0, 1));
    EXPECT_EQ(ReadFile(root / "f.bin"), content);
}

TEST_F(RepairTest, APartEndedWithBlocksMissingIsNoCompletion) {
    Start();
    const Bytes content = Content(3 * protocol::kBlockSize, 10);
    AcceptTask(4, 1);
    sender.Send(DataBlock(1, 0, u"\\f.bin", content));
    EXPECT_EQ(FinishAndAnswer(), 3u);
    sender.SendUnicast(HoldPacket(0, 1));  // the sender has moved on
    ASSERT_TRUE(host.WaitFor(1040, receiver::kCodeIncomplete, 0));
    ASSERT_TRUE(Eventually([&] { return log.Count("\nTivlo-----Task ended with blocks missing!\n") == 1; }));
    EXPECT_EQ(host.Count(1040, 0, 1), 0);
    EXPECT_FALSE(sender.Answer(100));  // nothing sent on that Hold
}

// The handlers called on an initialised engine without its threads, so that
// the structures can be set up exactly.
class RepairHandlerTest : public ReceiverFixture {
protected:
    void Prime(uint32_t files) {
        Start(false);
        engine->replyAddress = kLoopback;
        engine->fileCount = files;
        engine->totalBlocks = 100;
    }
    void Missing(uint32_t file, uint32_t block) {
        std::lock_guard<std::mutex> guard(engine->missingLock);
        receiver::StoreMissing(engine->missing, file, block);
    }
    bool Poll(uint32_t turn) {
        Bytes p = PollPacket(turn);
        return engine->HandlePoll(p.data(), p.size());
    }
    bool Hold(uint8_t complete, uint8_t unicast) {
        Bytes p = HoldPacket(complete, unicast);
        return engine->HandleHold(p.data(), p.size());
    }
};

TEST_F(RepairHandlerTest, APollWhileGapRecordsWaitNamesNothing) {
    Prime(3);
    Missing(2, 7);
    engine->AppendGap({1, 0, 5, 1, 4, 5});
    EXPECT_FALSE(Poll(1));
    auto ack = sender.AnswerOfType(protocol::kAck);
    ASSERT_TRUE(ack);
    EXPECT_EQ(AckOf(*ack), std::make_pair(4u, 0u));
}

TEST_F(RepairHandlerTest, APollWithAnEmptyMapSaysNothingIsMissing) {
    Prime(5);
    EXPECT_FALSE(Poll(1));
    auto ack = sender.AnswerOfType(protocol::kAck);
    ASSERT_TRUE(ack);
    EXPECT_EQ(AckOf(*ack), std::make_pair(6u, 0u));
    EXPECT_EQ(engine->turnFlag, 1u);
    EXPECT_EQ(log.Count("\nTivlo-----Client Send ACK !\n"), 1);
}

TEST_F(RepairHandlerTest, PollZeroWithBlocksMissingServesTheFirstEntry) {
    Prime(3);
    Missing(3, 9);
    EXPECT_FALSE(Poll(0));
    EXPECT_EQ(engine->turnFlag, 1u);
    auto ack = sender.AnswerOfType(protocol::kAck);
    ASSERT_TRUE(ack);
    EXPECT_EQ(AckOf(*ack), std::make_pair(3u, 9u));
}

TEST_F(RepairHandlerTest, HoldWithTheCompleteFlagWhileBlocksAreMissingOnlyClearsTheTurn) {
    Prime(2);
    Missing(1, 1);
    engine->turnFlag = 1;
    EXPECT_FALSE(Hold(1, 0));
    EXPECT_EQ(engine->turnFlag, 0u);
    EXPECT_FALSE(engine->Ended());
    // Not served: no Ack, though the call logs.
    EXPECT_EQ(engine->SendAck(), 0);
    EXPECT_FALSE(sender.Answer(150));
}

TEST_F(RepairHandlerTest, HoldEndsTheCompleteReceiverAndAnyInTheUnicastPhase) {
    Prime(2);
    EXPECT_TRUE(Hold(1, 0));
    EXPECT_TRUE(engine->Ended());
    engine->SetEnded(0);
    Missing(2, 0);
    EXPECT_TRUE(Hold(0, 1));
    EXPECT_TRUE(engine->Ended());
    EXPECT_FALSE(sender.Answer(150));
}

TEST_F(RepairHandlerTest, ARepairBlockNobodyHereNeedsAsksOnForTheMaster) {
    Prime(2);
    const Bytes content = Content(10 * protocol::kBlockSize, 1);
    Missing(2, 4);
    engine->turnFlag = 1;
    engine->streamPos = {2, 3, 9};
    Bytes unwanted = RepairBlock(1, 5, u"\\f.bin", content);
    EXPECT_FALSE(engine->HandleRepairBlock(unwanted.data(), unwanted.size()));
    // File and block both differ from the position: the next wanted block.
    auto ack = sender.AnswerOfType(protocol::kAck);
    ASSERT_TRUE(ack);
    EXPECT_EQ(AckOf(*ack), std::make_pair(2u, 4u));
    EXPECT_EQ(engine->QueuedCount(), 0u);
    EXPECT_EQ(engine->streamPos.file, 1u);
    EXPECT_EQ(engine->streamPos.block, 5u);
    // Same file as the position now: dropped without a word.
    Bytes again = RepairBlock(1, 6, u"\\f.bin", content);
    EXPECT_FALSE(engine->HandleRepairBlock(again.data(), again.size()));
    EXPECT_FALSE(sender.Answer(150));
    EXPECT_EQ(engine->MissingCount(), 1u);
}

// A master whose Repair block never comes asks again, twice at most, so a
// block lost twice on the way does not cost it its turn; a complete master
// and one that is not served stay quiet.
TEST_F(RepairTest, AStalledMasterRepeatsItsAckTwice) {
    Start();
    const Bytes content = Content(3 * protocol::kBlockSize + 5, 7);
    AcceptTask(4, 1);
    for (uint32_t b : {0u, 1u, 3u}) sender.Send(DataBlock(1, b, u"\\f.bin", content));
    EXPECT_EQ(FinishAndAnswer(), 1u);

    sender.SendUnicast(PollPacket(1));
    auto first = sender.AnswerOfType(protocol::kAck);
    ASSERT_TRUE(first);
    EXPECT_EQ(AckOf(*first), std::make_pair(1u, 2u));
    // kAckRepeatMs is 2000 protocol ms: 100 ms at this scale.
    EXPECT_FALSE(sender.AnswerOfType(protocol::kAck, 50)) << "not before the repeat time";
    for (int i = 0; i < 2; ++i) {
        auto again = sender.AnswerOfType(protocol::kAck, 400);
        ASSERT_TRUE(again) << "repeat " << i;
        EXPECT_EQ(AckOf(*again), std::make_pair(1u, 2u));
    }
    EXPECT_FALSE(sender.AnswerOfType(protocol::kAck, 400)) << "two repeats at most";

    // The block arrives: the complete master names file count + 1 once and
    // then waits for the Poll without repeating itself.
    sender.Send(RepairBlock(1, 2, u"\\f.bin", content));
    auto done = sender.AnswerOfType(protocol::kAck);
    ASSERT_TRUE(done);
    EXPECT_EQ(AckOf(*done), std::make_pair(2u, 0u));
    EXPECT_FALSE(sender.AnswerOfType(protocol::kAck, 400));
    sender.SendUnicast(PollPacket(0));
    ASSERT_TRUE(sender.AnswerOfType(protocol::kFinish));
    ASSERT_TRUE(host.WaitFor(1040, 0, 1));
    EXPECT_EQ(ReadFile(root / "f.bin"), content);
}

}  // namespace
}  // namespace tivlo::testing
