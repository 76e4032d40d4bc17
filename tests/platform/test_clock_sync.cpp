// The scaled clock, events and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "child_process.h"
#include "platform/clock.h"
#include "platform/sync.h"

namespace tivlo::platform {
namespace {

using RealClock = std::chrono::steady_clock;

int64_t RealMsSince(RealClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(RealClock::now() - start).count();
}

void RealSleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Every case runs the protocol clock 20 times faster and puts it back.
class ScaledClock : public ::testing::Test {
protected:
    void SetUp() override { SetTimeScale(0.05); }
    void TearDown() override { SetTimeScale(1.0); }
};

TEST_F(ScaledClock, SleepTakesScaledRealTime) {
    auto start = RealClock::now();
    uint64_t before = NowMs();
    SleepMs(1000);
    int64_t real = RealMsSince(start);
    uint64_t protocol = NowMs() - before;
    EXPECT_GE(real, 45);
    EXPECT_LT(real, 500);  // far below the unscaled second
    // The protocol clock counts the full second that was slept.
    EXPECT_GE(protocol, 990u);
    EXPECT_LT(protocol, 10000u);
}

TEST_F(ScaledClock, ScaledNanosFollowsTheFactor) {
    EXPECT_EQ(ScaledNanos(5000), 250'000'000);
    SetTimeScale(2.0);
    EXPECT_EQ(ScaledNanos(10), 20'000'000);
    EXPECT_DOUBLE_EQ(TimeScale(), 2.0);
    SetTimeScale(0.0);  // not a speed: ignored
    SetTimeScale(-1.0);
    EXPECT_DOUBLE_EQ(TimeScale(), 2.0);
}

TEST_F(ScaledClock, ChangingTheScaleNeverStepsBack) {
    uint64_t previous = NowMs();
    for (double factor : {1.0, 0.05, 3.0, 0.01, 1.0}) {
        SetTimeScale(factor);
        uint64_t now = NowMs();
        EXPECT_GE(now, previous) << "after switching to " << factor;
        previous = now;
        RealSleepMs(2);
    }
    EXPECT_GT(NowMs(), 0u);
}

TEST_F(ScaledClock, EventWaitTimesOutAfterScaledTime) {
    Event e;
    auto start = RealClock::now();
    EXPECT_FALSE(e.Wait(2000));  // 100 ms real
    int64_t real = RealMsSince(start);
    EXPECT_GE(real, 95);
    EXPECT_LT(real, 1000);
    EXPECT_FALSE(e.IsSet());
}

TEST_F(ScaledClock, EventWaitWakesWhenSet) {
    Event e;
    std::thread setter([&] {
        RealSleepMs(30);
        e.Set();
    });
    auto start = RealClock::now();
    EXPECT_TRUE(e.Wait(60000));  // 3 s real at most
    EXPECT_LT(RealMsSince(start), 1500);
    setter.join();
    // Manual reset: stays set for every later wait until Reset.
    EXPECT_TRUE(e.Wait(0));
    EXPECT_TRUE(e.Wait(10));
    e.Reset();
    EXPECT_FALSE(e.IsSet());
    EXPECT_FALSE(e.Wait(20));
}

TEST_F(ScaledClock, SetWakesEveryWaiter) {
    Event e;
    std::atomic<int> woken{0};
    std::thread waiters[3];
    for (auto& t : waiters) {
        t = std::thread([&] {
            if (e.Wait(60000)) {
                ++woken;
            }
        });
    }
    RealSleepMs(20);
    e.Set();
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(woken.load(), 3);
}

TEST_F(ScaledClock, WaitBothNeedsBoth) {
    Event a, b;
    a.Set();
    auto start = RealClock::now();
    EXPECT_FALSE(WaitBoth(a, b, 1000));  // only one: times out (50 ms real)
    EXPECT_GE(RealMsSince(start), 45);
    EXPECT_FALSE(WaitBoth(b, a, 200));

    std::thread setter([&] {
        RealSleepMs(20);
        b.Set();
    });
    start = RealClock::now();
    EXPECT_TRUE(WaitBoth(a, b, 60000));
    EXPECT_LT(RealMsSince(start), 1500);
    setter.join();
    EXPECT_TRUE(WaitBoth(a, b, 0));
}

TEST_F(ScaledClock, WaitBothSeesEventsSetInEitherOrder) {
    for (int order = 0; order < 2; ++order) {
        Event a, b;
        std::thread setter([&] {
            RealSleepMs(10);
            (order == 0 ? a : b).Set();
            RealSleepMs(10);
            (order == 0 ? b : a).Set();
        });
        EXPECT_TRUE(WaitBoth(a, b, 60000)) << "order " << order;
        setter.join();
    }
}

TEST_F(ScaledClock, WaitBothNoticesAResetWhileWaitingForTheOther) {
    Event a, b;
    a.Set();
    std::thread changer([&] {
        RealSleepMs(10);
        a.Reset();
        b.Set();
    });
    EXPECT_FALSE(WaitBoth(a, b, 2000));  // a is no longer set when b comes
    changer.join();
}

TEST(Clock, EnvironmentScaleIsReadOnce) {
    auto r = tivlo::test::RunChildCase("ClockChild.*", {{"TIVLO_TIME_SCALE", "0.25"}});
    EXPECT_EQ(r.exitCode, 0) << r.standardError;
    EXPECT_NE(r.standardError.find("scale 0.25"), std::string::npos) << r.standardError;
    auto bad = tivlo::test::RunChildCase("ClockChild.*", {{"TIVLO_TIME_SCALE", "fast"}});
    EXPECT_NE(bad.standardError.find("scale 1"), std::string::npos) << bad.standardError;
}

TEST(ClockChild, ReportScale) {
    if (!tivlo::test::InChildCase()) {
        GTEST_SKIP() << "runs in a child process";
    }
    std::fprintf(stderr, "scale %g\n", TimeScale());
    auto start = RealClock::now();
    SleepMs(400);
    if (TimeScale() == 0.25) {
        EXPECT_LT(RealMsSince(start), 300);
    }
}

TEST(Thread, RunsBodyAndJoins) {
    Thread t;
    std::atomic<bool> ran{false};
    ASSERT_TRUE(t.Start([&] { ran = true; }, ThreadPriority::AboveNormal));
    t.Join();
    EXPECT_TRUE(ran.load());
    EXPECT_FALSE(t.Running());
    // Started again once joined.
    ASSERT_TRUE(t.Start([&] { ran = false; }));
    t.Join();
    EXPECT_FALSE(ran.load());
}

TEST(Thread, SecondStartWhileRunningFails) {
    Thread t;
    Event release;
    ASSERT_TRUE(t.Start([&] { release.WaitForever(); }));
    EXPECT_TRUE(t.Running());
    EXPECT_FALSE(t.Start([] {}));
    EXPECT_FALSE(t.IsCurrent());
    release.Set();
    t.Join();
}

TEST(Thread, JoinFromItselfDoesNotDeadlock) {
    Thread t;
    Event done;
    std::atomic<bool> wasCurrent{false};
    Event started;
    ASSERT_TRUE(t.Start([&] {
        started.WaitForever();
        wasCurrent = t.IsCurrent();
        t.Join();  // detaches
        done.Set();
    }));
    started.Set();
    EXPECT_TRUE(done.Wait(5000));
    EXPECT_TRUE(wasCurrent.load());
    EXPECT_FALSE(t.Running());
}

TEST(Thread, DestroyingARunningThreadWaitsForIt) {
    std::atomic<bool> finished{false};
    {
        Thread t;
        ASSERT_TRUE(t.Start([&] {
            RealSleepMs(50);
            finished = true;
        }));
    }
    EXPECT_TRUE(finished.load());
}

}  // namespace
}  // namespace tivlo::platform
