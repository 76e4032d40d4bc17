// The sender's roster (master choice, answers, error report), its watchdog
// as a function of ticks, and the stream's pacing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sender/roster.h"
#include "sender/stream_pacer.h"
#include "sender/watchdog.h"

namespace tivlo::sender {
namespace {

// A roster from a picture: one letter per receiver. '.' joined, 'd' done,
// 'p' pending (1460), 'x' failed (112).
Roster Make(const std::string& picture) {
    Roster r;
    r.Reset();
    for (size_t i = 0; i < picture.size(); ++i) {
        r.Add({uint32_t(i + 1), 27001});
        if (picture[i] == 'd') r[int32_t(i)].done = 1;
        if (picture[i] == 'x') r[int32_t(i)].errorCode = 112;
        if (picture[i] == 'p') r.MarkPending(int32_t(i), 1460);
    }
    return r;
}

// Each chain: NextMaster(-1), then from each result.
TEST(Roster, NextMasterGoesOnceOverTheRosterThenOverThePending) {
    const struct { std::string picture; std::vector<int32_t> chain; } cases[] = {
        {"", {0}},
        {"ddd", {3}},
        {"d.", {1, 2}},
        {"..x.", {0, 1, 3, 4}},
        // Pending receivers come back in the second pass, in roster order;
        // a record 0 pending gets its turn too, and is chosen again right
        // after itself only once.
        {"p.p", {1, 0, 0, 2, 3}},
        {"p..", {1, 2, 0, 3}},
        {".p.", {0, 2, 1, 3}},
    };
    for (const auto& c : cases) {
        Roster r = Make(c.picture);
        int32_t current = -1;
        for (int32_t expected : c.chain) {
            current = r.NextMaster(current);
            EXPECT_EQ(current, expected) << c.picture;
            if (current >= r.count()) break;
        }
    }
}

TEST(Roster, JoinsAnswersAndTheErrorReport) {
    Roster r = Make("...");
    EXPECT_EQ(r.Add({2, 9999}), Roster::Added::Known) << "the same address from another port";
    for (auto [record, missed] : {std::pair{0, 0u}, {1, 31u}, {2, 30u}}) r.RecordAnswer(record, missed, 100);
    EXPECT_EQ(r[0].done, 1u);
    EXPECT_EQ(r[1].done + r[1].errorCode, 2u) << "more than 30 % missed: done with code 1";
    EXPECT_EQ(r[2].done + r[2].errorCode, 0u);
    r[2].errorCode = 112;
    r[2].gaveUp = true;
    r.MarkPending(2, 1460);
    EXPECT_EQ(r[2].errorCode, 112u) << "a receiver that gave up keeps its code";

    std::vector<uint32_t> out(401, 0xEEEEEEEEu);
    ASSERT_EQ(r.GetErrInfo(out.data()), 2);
    EXPECT_EQ(std::vector(out.begin(), out.begin() + 6), (std::vector<uint32_t>{2, 2, 1, 3, 112, 0xEEEEEEEEu}));

    Roster full = Make(std::string(200, '.'));
    EXPECT_EQ(full.Add({999, 1}), Roster::Added::Full);
    EXPECT_EQ(full.count(), 200);
}

// A repair phase as the watchdog sees it.
struct State {
    uint32_t file = 0, block = 0, files = 3;
    int32_t master = 0, receivers = 3;
    bool spoke = true, first = false, ended = false;
};

// The phase with what its watchdog, started at once, did.
struct Phase : State, WatchdogContext {
    explicit Phase(const State& state) : State(state) { watchdog.Start(); }
    Watchdog watchdog{*this};
    std::vector<std::string> calls;

    uint32_t RequestFile() const override { return file; }
    uint32_t RequestBlock() const override { return block; }
    uint32_t FileCount() const override { return files; }
    int32_t Master() const override { return master; }
    void SetMaster(int32_t m) override {
        if (m != master) spoke = false;
        master = m;
        calls.push_back("master " + std::to_string(m));
    }
    bool MasterHasSpoken() const override { return spoke; }
    int32_t ReceiverCount() const override { return receivers; }
    bool AwaitingFirstCompletion() const override { return first; }
    int32_t NextMaster(int32_t current) override { return current + 1; }
    bool PollMaster(uint32_t turn, uint32_t) override {
        calls.push_back("poll " + std::to_string(turn));
        if (master >= receivers) ended = true;
        return !ended;
    }
    void ResendRepair() override { calls.push_back("resend"); }
    void MarkMasterTimedOut() override { calls.push_back("1460 " + std::to_string(master)); }
    void GiveUp() override {
        calls.push_back("give up");
        ended = true;
    }
    bool Ended() const override { return ended; }

    // Ticks until the watchdog ends or n ticks have passed; the calls made.
    std::vector<std::string> Ticks(int n) {
        calls.clear();
        for (int i = 0; i < n && watchdog.Tick() != protocol::kNever; ++i) {
        }
        return calls;
    }
};

TEST(Watchdog, AnOpenRequestIsResentThenTheMasterPassedOver) {
    // The first tick notes the request; idle ticks 2 and 9 act (also on a
    // request that names file 0).
    for (uint32_t file : {0u, 2u}) {
        Phase q({.file = file, .block = 7});
        EXPECT_EQ(q.Ticks(3), (std::vector<std::string>{"resend"})) << file;
        EXPECT_EQ(q.Ticks(7), (std::vector<std::string>{"1460 0", "master 1", "poll 1"})) << file;
    }
    Phase p({.file = 2, .block = 7});
    // A master that keeps asking for new blocks is never passed over.
    for (int i = 0; i < 40; ++i) {
        p.spoke = true;
        p.block = 100 + uint32_t(i);
        EXPECT_TRUE(p.Ticks(1).empty());
    }
}

TEST(Watchdog, AMasterThatNeverSpeaksIsPolledThenPassedOver) {
    Phase p({.file = 4, .spoke = false});  // the previous master's last word: nothing missing
    const auto calls = p.Ticks(10);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "poll 1"), 10);
    EXPECT_EQ(calls[9], "1460 0") << "at the ninth tick after the first";
    // One that said it misses nothing but sends no Finish: Poll (0) at the
    // second and third tick after the first, the next master at the fourth;
    // without its Finish it is not counted complete.
    Phase q({.file = 4});
    EXPECT_EQ(q.Ticks(5), (std::vector<std::string>{"poll 0", "poll 0", "1460 0", "master 1", "poll 1"}));
}

TEST(Watchdog, NobodyAnsweringEndsTheTransfer) {
    // No Ack at all since the stream: four Polls, one every second tick,
    // then the master is passed over, and a choice that comes back to a
    // silent one gives up.
    Phase p({.receivers = 1, .spoke = false});
    const std::vector<std::string> poll{"master 0", "poll 1"}, none;
    for (int tick = 0; tick < 8; ++tick) EXPECT_EQ(p.Ticks(1), tick % 2 ? none : poll) << "tick " << tick;
    EXPECT_EQ(p.Ticks(40), (std::vector<std::string>{"1460 0", "give up"}));

    // Before any master completed, the fourth timeout (or the first of a
    // single receiver) gives up.
    Phase q({.file = 1, .receivers = 9, .first = true});
    const auto more = q.Ticks(200);
    EXPECT_EQ(std::ranges::count_if(more, [](const std::string& call) { return call.starts_with("1460"); }), 3);
    EXPECT_EQ(more.back(), "give up");
}

TEST(StreamPacer, KeepsTheRateThroughLateWakesAndDropsOnlyALongDebt) {
    // A sender that takes `cost` per datagram and wakes `late` after each wait; every 200 ms it stalls for
    // `stall`. Over two seconds the rate stays within [low, high] (a stall within the catch-up is made good), and
    // no burst after a stall carries more than the catch-up's worth of credit.
    struct Case { uint32_t kbps; uint64_t cost, late, stall; double low, high; };
    const uint64_t us = 1000;
    for (const Case& c : {Case{1000000, 7 * us, 50 * us, 0, 0.99, 1.01}, Case{1000000, 7 * us, 900 * us, 0, 0.99, 1.01},
                          Case{100000, 20 * us, 300 * us, 6000 * us, 0.98, 1.01},
                          Case{1000000, 7 * us, 50 * us, 30000 * us, 0.80, 0.90}, Case{200, 7 * us, 0, 0, 0.9, 1.1}}) {
        StreamPacer pacer(c.kbps, 0);
        const uint64_t bytes = 4796, end = 2000000000;
        uint64_t now = 0, sent = 0, nextStall = 200000000, maxBurst = 0, burst = 0;
        while (now < end) {
            if (c.stall && now >= nextStall) {
                now += c.stall, nextStall += 200000000, burst = 0;
                continue;
            }
            const uint64_t wait = pacer.WaitNs(now);
            if (wait != 0) {
                now += wait + c.late, burst = 0;
                continue;
            }
            pacer.Sent(bytes);
            sent += bytes, now += c.cost;
            maxBurst = std::max(maxBurst, burst += bytes);
        }
        const double ratio = double(sent) * 8 / (double(c.kbps) * 1000 * 2);
        EXPECT_TRUE(ratio >= c.low && ratio <= c.high) << c.kbps << " kbit/s, late " << c.late << ": " << ratio;
        const double credit = double(c.kbps) * 125 * (StreamPacer::kCatchUpNs + 2 * StreamPacer::kQuantumNs) / 1e9;
        EXPECT_LE(double(maxBurst), std::max(credit, 2.0 * bytes)) << c.kbps << " kbit/s, stall " << c.stall;
    }
}

}  // namespace
}  // namespace tivlo::sender
