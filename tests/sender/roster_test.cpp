// The roster and the choice of masters, on an engine object without sockets.
#include <gtest/gtest.h>

#include <array>

#include "sender/server_engine.h"
#include "sender_harness.h"

namespace {

using namespace sendertest;
using tivlo::sender::ServerEngine;

// A roster of n receivers 10.0.0.1 ... with the given states.
struct Roster {
    explicit Roster(int n) {
        for (int i = 0; i < n; ++i) e.AddReceiver({IPv4(10, 0, 0, uint8_t(i + 1)), 27001});
    }
    Roster& Done(int i) { e.roster[i].done = 1; return *this; }
    Roster& Pending(int i) {
        e.roster[i].pending = 1;
        e.roster[i].errorCode = 1460;
        e.pendingSeen = 1;
        return *this;
    }
    Roster& Code(int i, uint32_t c) { e.roster[i].errorCode = c; return *this; }
    ServerEngine e;
};

TEST(NextMaster, EmptyRosterHasNobody) {
    Roster r(0);
    EXPECT_EQ(r.e.NextMaster(-1), 0);
}

TEST(NextMaster, FirstPassSkipsDoneAndFailedReceiversInJoiningOrder) {
    Roster r(5);
    r.Done(0).Code(1, 112).Done(3).Code(3, 1);
    EXPECT_EQ(r.e.NextMaster(-1), 2);
    EXPECT_EQ(r.e.unicastPhase.load(), 0u);
    EXPECT_EQ(r.e.NextMaster(2), 4);
    // From the last record the first pass is over.
    EXPECT_EQ(r.e.NextMaster(4), 5);
    EXPECT_EQ(r.e.unicastPhase.load(), 1u);
}

TEST(NextMaster, AllDoneLeavesNobody) {
    Roster r(3);
    r.Done(0).Done(1).Done(2);
    EXPECT_EQ(r.e.NextMaster(-1), 3);
    EXPECT_EQ(r.e.unicastPhase.load(), 1u);
}

TEST(NextMaster, AfterTheLastMasterWithNothingPendingTheTransferEnds) {
    Roster r(2);
    r.Done(0);
    EXPECT_EQ(r.e.NextMaster(-1), 1);
    EXPECT_EQ(r.e.NextMaster(1), 2);
    EXPECT_EQ(r.e.unicastPhase.load(), 1u);
}

TEST(NextMaster, SecondPassServesPendingReceiversAfterTheCurrentOne) {
    Roster r(4);
    r.Pending(1).Pending(3);
    // The first pass ends at record 3 (the last): the second starts at the
    // beginning of the roster.
    EXPECT_EQ(r.e.NextMaster(3), 1);
    EXPECT_EQ(r.e.unicastPhase.load(), 1u);
    EXPECT_EQ(r.e.NextMaster(1), 3);
    EXPECT_EQ(r.e.NextMaster(3), 4);
    // Exhausted in the middle of the first pass with pending records: the
    // second pass begins at once.
    Roster s(4);
    s.Pending(2).Done(3);
    EXPECT_EQ(s.e.NextMaster(1), 2) << "record 2 carries a code: the first pass skips it";
    EXPECT_EQ(s.e.unicastPhase.load(), 1u);
}

TEST(NextMaster, RecordZeroPassedOverInTheFirstPassIsServedInTheSecond) {
    // Record 0 timed out as the first master; the others completed. It alone
    // is pending: the second pass serves it once more, then gives up on it.
    Roster r(3);
    r.Pending(0).Done(1).Done(2);
    EXPECT_EQ(r.e.NextMaster(2), 0);
    EXPECT_EQ(r.e.unicastPhase.load(), 1u);
    EXPECT_EQ(r.e.NextMaster(0), 3) << "a second timeout in the second pass ends its turns";

    Roster first(3);
    first.Pending(0).Done(1).Done(2);
    EXPECT_EQ(first.e.NextMaster(0), 0) << "also when the first pass ends right after it";

    Roster one(1);
    one.Pending(0);
    EXPECT_EQ(one.e.NextMaster(0), 0);
    EXPECT_EQ(one.e.NextMaster(0), 1);
}

TEST(NextMaster, ASilentRecordZeroGetsOneMoreTurnThenTheOthersComeFirst) {
    Roster r(3);
    r.Pending(0).Pending(2);
    r.e.unicastPhase = 1;
    // Record 0 is master in the second pass and times out (pending again).
    EXPECT_EQ(r.e.NextMaster(0), 0);
    EXPECT_EQ(r.e.NextMaster(0), 2) << "not polled again and again while record 2 waits";
    EXPECT_EQ(r.e.NextMaster(2), 3);
    // Once another master was chosen, record 0 may have its extra turn again.
    EXPECT_EQ(r.e.NextMaster(0), 0);
}

TEST(Roster, JoinsAddEachAddressOnceAndAtMostTwoHundred) {
    LogRecorder log;
    ServerEngine e;
    e.AddReceiver({IPv4(10, 0, 0, 1), 27001});
    e.AddReceiver({IPv4(10, 0, 0, 1), 5555});  // another port, same receiver
    EXPECT_EQ(e.receiverCount.load(), 1);
    EXPECT_EQ(e.FindReceiver({IPv4(10, 0, 0, 1), 1}), 0);
    EXPECT_EQ(e.FindReceiver({IPv4(10, 0, 0, 9), 27001}), 1) << "not found: receiverCount";
    for (int i = 2; i <= 200; ++i) e.AddReceiver({IPv4(10, 0, uint8_t(i / 256), uint8_t(i % 256)), 27001});
    ASSERT_EQ(e.receiverCount.load(), 200);
    e.AddReceiver({IPv4(10, 1, 0, 1), 27001});
    EXPECT_EQ(e.receiverCount.load(), 200);
    EXPECT_TRUE(log.Contains("\nTivlo-----Roster full, receiver 10.1.0.1 refused!\n"));
}

TEST(Roster, AReusedRecordStartsClean) {
    ServerEngine e;
    e.AddReceiver({IPv4(10, 0, 0, 1), 27001});
    e.roster[0].errorCode = 112;
    e.roster[0].done = 1;
    e.roster[0].pending = 1;
    e.receiverCount = 0;  // as a new InitServer leaves it
    e.AddReceiver({IPv4(10, 0, 0, 2), 27001});
    EXPECT_EQ(e.roster[0].errorCode.load(), 0u);
    EXPECT_EQ(e.roster[0].done.load(), 0u);
    EXPECT_EQ(e.roster[0].pending.load(), 0u);
    std::array<uint32_t, 401> out{};
    EXPECT_EQ(e.GetErrInfo(out.data()), 0);
}

TEST(Roster, AnswersAboveThirtyPercentAreNotRepaired) {
    Roster r(4);
    r.e.totalBlocks = 100;
    r.e.RecordAnswer({IPv4(10, 0, 0, 1), 0}, 40);
    r.e.RecordAnswer({IPv4(10, 0, 0, 2), 0}, 30);
    r.e.RecordAnswer({IPv4(10, 0, 0, 3), 0}, 0);
    r.e.RecordAnswer({IPv4(10, 0, 0, 4), 0}, 31);
    r.e.RecordAnswer({IPv4(10, 9, 9, 9), 0}, 0);  // unknown: nothing
    EXPECT_EQ(r.e.roster[0].done.load(), 1u);
    EXPECT_EQ(r.e.roster[0].errorCode.load(), 1u);
    EXPECT_EQ(r.e.roster[1].done.load(), 0u);
    EXPECT_EQ(r.e.roster[1].errorCode.load(), 0u);
    EXPECT_EQ(r.e.roster[2].done.load(), 1u);
    EXPECT_EQ(r.e.roster[2].errorCode.load(), 0u);
    EXPECT_EQ(r.e.roster[3].errorCode.load(), 1u);
    EXPECT_EQ(r.e.receiverCount.load(), 4);

    // A task without blocks: any missing count is too many.
    Roster z(1);
    z.e.totalBlocks = 0;
    z.e.RecordAnswer({IPv4(10, 0, 0, 1), 0}, 1);
    EXPECT_EQ(z.e.roster[0].errorCode.load(), 1u);
}

TEST(Roster, ErrorReportNamesReceiversWithACodeInJoiningOrder) {
    Roster r(3);
    std::array<uint32_t, 401> out{};
    out.fill(7);
    EXPECT_EQ(r.e.GetErrInfo(out.data()), 0);
    EXPECT_EQ(out[0], 0u);
    r.Code(1, 112);
    EXPECT_EQ(r.e.GetErrInfo(out.data()), 1);
    EXPECT_EQ(out[0], 1u);
    EXPECT_EQ(out[1], IPv4(10, 0, 0, 2));
    EXPECT_EQ(out[2], 112u);
    EXPECT_EQ(out[3], 7u);
    r.Code(2, 1460).Code(0, 1);
    EXPECT_EQ(r.e.GetErrInfo(out.data()), 3);
    EXPECT_EQ(out[1], IPv4(10, 0, 0, 1));
    EXPECT_EQ(out[6], 1460u);
}

TEST(Roster, GivingUpMarksEveryoneWithoutTheirCopy) {
    Roster r(5);
    r.Done(0);                  // finished
    r.Code(1, 112);             // failed
    r.Done(2).Code(2, 1);       // too much missing
    r.Pending(3);               // passed over
    r.e.MarkUnfinished(1460);   // record 4: never served
    EXPECT_EQ(r.e.roster[0].errorCode.load(), 0u);
    EXPECT_EQ(r.e.roster[1].errorCode.load(), 112u);
    EXPECT_EQ(r.e.roster[2].errorCode.load(), 1u);
    EXPECT_EQ(r.e.roster[3].errorCode.load(), 1460u);
    EXPECT_EQ(r.e.roster[4].errorCode.load(), 1460u);
}

}  // namespace
