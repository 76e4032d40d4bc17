// The roster and the choice of masters, on an engine object without sockets.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

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

// NextMaster's two passes on one roster: record states (. none, D done,
// F code 112, X done with code 1, P pending 1460), then steps of
// (current master, expected next, unicastPhase after or -1 to skip).
struct NextCase {
    const char* name;
    const char* states;
    bool secondPass;  // unicastPhase already 1
    std::vector<std::array<int, 3>> steps;
};

class NextMaster : public ::testing::TestWithParam<NextCase> {};

TEST_P(NextMaster, ChoosesInJoiningOrder) {
    const NextCase& c = GetParam();
    Roster r(int(std::strlen(c.states)));
    for (int i = 0; c.states[i]; ++i) {
        switch (c.states[i]) {
            case 'D': r.Done(i); break;
            case 'F': r.Code(i, 112); break;
            case 'X': r.Done(i).Code(i, 1); break;
            case 'P': r.Pending(i); break;
        }
    }
    if (c.secondPass) r.e.unicastPhase = 1;
    for (auto [from, next, phase] : c.steps) {
        EXPECT_EQ(r.e.NextMaster(from), next) << "from " << from;
        if (phase >= 0) {
            EXPECT_EQ(r.e.unicastPhase.load(), uint32_t(phase)) << "from " << from;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Roster, NextMaster,
    ::testing::Values(
        NextCase{"EmptyRosterHasNobody", "", false, {{-1, 0, -1}}},
        // From the last record the first pass is over.
        NextCase{"FirstPassSkipsDoneAndFailed", "DF.X.", false, {{-1, 2, 0}, {2, 4, -1}, {4, 5, 1}}},
        NextCase{"AllDoneLeavesNobody", "DDD", false, {{-1, 3, 1}}},
        NextCase{"NothingPendingAfterTheLastEnds", "D.", false, {{-1, 1, -1}, {1, 2, 1}}},
        // The first pass ends at the last record: the second starts at the beginning.
        NextCase{"SecondPassServesPending", ".P.P", false, {{3, 1, 1}, {1, 3, -1}, {3, 4, -1}}},
        // Exhausted mid first pass with pending records (record 2 carries a
        // code, so the first pass skips it): the second pass begins at once.
        NextCase{"SecondPassBeginsMidRoster", "..PD", false, {{1, 2, 1}}},
        // Record 0 timed out as first master, the others completed: served
        // once more in the second pass, then given up on.
        NextCase{"RecordZeroServedOnceMore", "PDD", false, {{2, 0, 1}, {0, 3, -1}}},
        NextCase{"RecordZeroRightAfterTheFirstPass", "PDD", false, {{0, 0, -1}}},
        NextCase{"LoneRecordZero", "P", false, {{0, 0, -1}, {0, 1, -1}}},
        // A silent record 0 in the second pass gets one more turn, then
        // record 2 comes first; after another master it may have its turn again.
        NextCase{"SilentRecordZeroIsBounded", "P.P", true, {{0, 0, -1}, {0, 2, -1}, {2, 3, -1}, {0, 0, -1}}}),
    [](const auto& info) { return std::string(info.param.name); });

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
