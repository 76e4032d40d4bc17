// The stream at a set rate: the token bucket's arithmetic on a simulated
// clock, and rate-paced streams on loopback (order, contents, duration, stop).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>

#include "platform/clock.h"
#include "protocol/packets.h"
#include "sender/server_engine.h"
#include "sender/stream_pacer.h"
#include "sender_harness.h"

namespace {

using namespace sendertest;
using tivlo::sender::ServerEngine;
using tivlo::sender::StreamPacer;
namespace proto = tivlo::protocol;

constexpr uint16_t kPortBase = 43500;
using RateStream = SenderTest;
constexpr uint64_t kMs = 1000000;
constexpr size_t kDatagram = 4796;  // a full Data block

// ---- Arithmetic ----

uint64_t ReferenceNanos(uint64_t bytes, uint32_t kbps) {
    return uint64_t((unsigned __int128)bytes * 8000000u / kbps);
}

TEST(RateArithmetic, NanosForIsExactAndDoesNotOverflow) {
    EXPECT_EQ(StreamPacer::NanosFor(kDatagram, 100000), 383680u) << "4796 bytes at 100 Mbit/s";
    EXPECT_EQ(StreamPacer::NanosFor(kDatagram, 1), 38368000000u) << "at 1 kbit/s";
    EXPECT_EQ(StreamPacer::NanosFor(125, 1000), 1000000u) << "1000 bits at 1 Mbit/s: 1 ms";
    EXPECT_EQ(StreamPacer::NanosFor(0, 7), 0u);
    std::mt19937_64 random(42);
    for (int i = 0; i < 20000; ++i) {
        // Up to 1 TiB sent, any rate: the split product stays exact.
        const uint64_t bytes = random() % (1ull << 40);
        const uint32_t kbps = uint32_t(random() % 0xFFFFFFFFull) + 1;
        ASSERT_EQ(StreamPacer::NanosFor(bytes, kbps), ReferenceNanos(bytes, kbps))
            << bytes << " bytes at " << kbps << " kbit/s";
    }
}

// Runs a pacer over a simulated clock: each datagram is sent as soon as the
// pacer allows; a wait sleeps for the time asked plus an overshoot.
struct Simulation {
    explicit Simulation(uint32_t kbps) : kbps(kbps), pacer(kbps, start) {}
    const uint32_t kbps;
    const uint64_t start = 5 * kMs;  // any start
    uint64_t now = start;
    StreamPacer pacer;
    uint64_t sleeps = 0;
    uint64_t longestBurst = 0;  // datagrams sent without a sleep between
    std::vector<uint64_t> sendTimes;

    // The time the first n datagrams take at the rate.
    uint64_t Ideal(size_t n) const { return StreamPacer::NanosFor(uint64_t(n - 1) * kDatagram, kbps); }
    uint64_t PerQuantum() const { return StreamPacer::kQuantumNs * kbps / 8000000 / kDatagram; }

    template <typename Overshoot>
    void Run(size_t datagrams, Overshoot overshoot, uint64_t sendCostNs = 2000) {
        uint64_t burst = 0;
        for (size_t i = 0; i < datagrams; ++i) {
            for (;;) {
                const uint64_t wait = pacer.WaitNs(now);
                if (wait == 0) break;
                now += wait + overshoot();
                ++sleeps;
                burst = 0;
            }
            sendTimes.push_back(now);
            pacer.Sent(kDatagram);
            now += sendCostNs;
            longestBurst = std::max(longestBurst, ++burst);
        }
    }
};

uint64_t NoOvershoot() { return 0; }

TEST(RateArithmetic, ExactSleepsKeepTheRateInBurstsOfAMillisecond) {
    for (uint32_t kbps : {100000u, 500000u, 1000000u}) {
        Simulation sim(kbps);
        const size_t n = 20000;
        sim.Run(n, NoOvershoot);
        // The last datagram is due after the bytes of all before it.
        const uint64_t took = sim.sendTimes.back() - sim.start;
        EXPECT_LE(took, sim.Ideal(n)) << kbps;
        EXPECT_GE(took + StreamPacer::kQuantumNs, sim.Ideal(n)) << "at most one quantum early, " << kbps;
        // About one wake-up per millisecond, each opening a burst of a
        // millisecond's worth of datagrams.
        EXPECT_LE(sim.longestBurst, sim.PerQuantum() + 2) << kbps;
        EXPECT_GE(sim.longestBurst, sim.PerQuantum()) << kbps;
        EXPECT_LE(sim.sleeps, sim.Ideal(n) / StreamPacer::kQuantumNs + 2) << kbps;
        // Never ahead of the schedule by more than a quantum, at any point.
        for (size_t i = 0; i < n; ++i)
            ASSERT_GE(sim.sendTimes[i] + StreamPacer::kQuantumNs, sim.start + sim.Ideal(i + 1)) << "datagram " << i;
    }
}

TEST(RateArithmetic, LateWakeUpsDoNotAccumulate) {
    // Every sleep wakes 0 to 300 us late, as timers do: the deadlines are
    // absolute, so the stream ends no later than one late wake after the
    // ideal time instead of thousands of them.
    std::mt19937 random(7);
    std::uniform_int_distribution<uint64_t> late(0, 300000);
    Simulation sim(200000);
    const size_t n = 30000;  // 144 MB, 5.8 s of stream
    sim.Run(n, [&] { return late(random); });
    const uint64_t took = sim.sendTimes.back() - sim.start;
    EXPECT_GT(sim.sleeps, 1000u) << "the stream did wait";
    EXPECT_LE(took, sim.Ideal(n) + 300000 + 2000);
    EXPECT_GE(took + StreamPacer::kQuantumNs, sim.Ideal(n));
}

TEST(RateArithmetic, LowRatesWaitBeforeEveryDatagram) {
    // Below a datagram per millisecond (10 Mbit/s: 3.8 ms per datagram)
    // every datagram has its own deadline.
    Simulation sim(10000);
    sim.Run(50, NoOvershoot);
    EXPECT_EQ(sim.longestBurst, 1u);
    EXPECT_EQ(sim.sleeps, 49u);
    for (size_t i = 1; i < sim.sendTimes.size(); ++i) EXPECT_EQ(sim.sendTimes[i], sim.start + sim.Ideal(i + 1)) << i;
}

TEST(RateArithmetic, AStallDropsTheMissedCreditInsteadOfFloodingAfterIt) {
    Simulation sim(1000000);  // 26 datagrams a millisecond
    sim.Run(1000, NoOvershoot);
    // The disk stalls for 50 ms: 1300 datagrams' worth of credit.
    sim.now += 50 * kMs;
    const uint64_t resume = sim.now;
    const size_t before = sim.sendTimes.size();
    sim.Run(2000, NoOvershoot);
    size_t atOnce = 0;
    while (before + atOnce < sim.sendTimes.size() && sim.sendTimes[before + atOnce] < resume + StreamPacer::kQuantumNs)
        ++atOnce;
    EXPECT_LE(atOnce, 2 * sim.PerQuantum() + 2) << "at most the bucket's depth goes out at once";
    // From then on the rate holds again, counted from the resumption.
    EXPECT_LE(sim.sendTimes.back() - resume, sim.Ideal(2000));
    EXPECT_GE(sim.sendTimes.back() - resume + 2 * StreamPacer::kQuantumNs, sim.Ideal(2000));
}

TEST(RateArithmetic, ASenderSlowerThanTheRateIsNeverHeldBack) {
    // Each send costs more than the rate allows per datagram: no wait at all.
    Simulation sim(1000000);  // 38 us per datagram
    sim.Run(5000, NoOvershoot, 60000);
    EXPECT_EQ(sim.sleeps, 0u);
}

// ---- Streams on loopback ----

// A rate-paced task keeps the strict order of files and blocks (the
// receivers' gap detection depends on it), carries every byte, ends each file
// with its last index, and takes the time the rate gives it.
TEST_F(RateStream, APacedTaskKeepsOrderAndContentsAndTakesTheRatesTime) {
    RealTime realTime;
    TempTree tree;
    const std::map<std::u16string, std::filesystem::path> files = {
        {u"\\job\\a-empty.dat", tree.File("job/a-empty.dat", 0)},
        {u"\\job\\b-one.dat", tree.File("job/b-one.dat", 4254)},
        {u"\\job\\c\\ten.dat", tree.File("job/c/ten.dat", 10000)},
        // Crosses the read-ahead's chunks of 64 blocks, and ends short.
        {u"\\job\\c\\d-big.dat", tree.File("job/c/d-big.dat", 200 * 4254 + 17)},
        // Exactly one chunk, and a last block without data.
        {u"\\job\\e-tail.dat", tree.File("job/e-tail.dat", 64 * 4254)},
    };
    FakeReceiver rx(2, port);
    Open(rx);
    ASSERT_EQ(e.StoreTargetPath(0xFFFFFFFF, u"/in"), 1);
    e.includeSubdirs = 1;
    ASSERT_EQ(e.SetSelectFiles({U16(tree.root() / "job")}), 1);
    ASSERT_EQ(e.transferList.size(), files.size());
    const uint32_t kbps = 40000;  // 40 Mbit/s: the 271 blocks take about 0.26 s
    e.sendRate = kbps;
    StartSend(e);
    ASSERT_TRUE(rx.WaitForPolls(1));

    auto data = group.OfType(proto::kDataBlock);
    size_t i = 0;
    ExpectDataBlocks(data, i, e, files, tree);
    ASSERT_FALSE(HasFatalFailure());
    uint64_t payload = 0;
    for (size_t k = 0; k + 1 < data.size(); ++k) payload += data[k].bytes.size();
    EXPECT_EQ(i, data.size()) << "no block twice, none beyond the files";
    EXPECT_EQ(host.Of(1042).size(), data.size()) << "a 1042 per Data block, as at the fixed pace";

    // The blocks before the last needed payload / rate; the first burst may
    // be a quantum early, scheduling may add a little.
    const uint64_t idealMs = StreamPacer::NanosFor(payload, kbps) / kMs;
    const uint64_t span = data.back().atMs - data.front().atMs;
    EXPECT_GE(span + 2, idealMs);
    EXPECT_LE(span, idealMs + idealMs / 4 + 30);
}

// At the fixed pace the same 271 blocks would take 1.35 s; at 1 Gbit/s they
// leave as fast as loopback takes them.
TEST_F(RateStream, AHighRateIsNotHeldToTheFixedPace) {
    RealTime realTime;
    TempTree tree;
    auto file = tree.File("f.bin", 270 * 4254);
    ASSERT_EQ(Init(), 1);
    ASSERT_EQ(e.SetSelectFiles({U16(file)}), 1);
    e.sendRate = 1000000;
    StartSend(e);
    ASSERT_TRUE(group.WaitForType(proto::kFinish, 1));
    auto data = group.OfType(proto::kDataBlock);
    ASSERT_GE(data.size(), 2u);
    EXPECT_LT(data.back().atMs - data.front().atMs, 400u);
}

// At a very low rate a block is minutes away; StopSend still ends the stream
// at once, and nothing else goes out.
TEST_F(RateStream, StopSendEndsAStreamThatWaitsForItsNextBlock) {
    RealTime realTime;
    TempTree tree;
    auto file = tree.File("f.bin", 10 * 4254);
    FakeReceiver rx(2, port);
    Open(rx);
    ASSERT_EQ(e.SetSelectFiles({U16(file)}), 1);
    e.sendRate = 1;  // 38 s per block
    StartSend(e);
    ASSERT_TRUE(group.WaitForType(proto::kDataBlock, 1));
    tivlo::platform::SleepMs(100);
    EXPECT_EQ(group.Count(proto::kDataBlock), 1u) << "the first block goes at once, the next waits";
    const auto t0 = std::chrono::steady_clock::now();
    e.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_FALSE(e.sendThread.Running());
    ASSERT_TRUE(group.WaitForType(proto::kStop, 3));
    EXPECT_EQ(group.Count(proto::kDataBlock), 1u);
    EXPECT_EQ(group.Count(proto::kFinish), 0u);
}

// With a rate, a Repair block that the master does not follow with a new
// Ack is sent again after 10 ms, then 20, 40 ... ms (six times), instead of
// at the watchdog's second tick; a new Ack ends the resends. At the fixed
// pace only the watchdog resends.
TEST(RateRepair, AnUnansweredRepairBlockIsSentAgainWithinMilliseconds) {
    RealTime realTime;
    for (uint32_t rate : {1000000u, 0u}) {
        const uint16_t port = uint16_t(kPortBase + (rate != 0 ? 40 : 50));
        TempTree tree;
        auto file = tree.File("f.bin", 20 * 4254 - 1);
        PacketTap group(0, port, kTestGroup);
        FakeReceiver rx(2, port);
        HostRecorder host;
        ServerEngine e;
        ASSERT_EQ(OpenSender(e, port, host.window()), 1);
        rx.Join();
        ASSERT_EQ(e.CollectReceivers(), 1);
        ASSERT_EQ(e.SetSelectFiles({U16(file)}), 1);
        e.sendRate = rate;
        StartSend(e);
        ASSERT_TRUE(group.WaitForType(proto::kFinish, 1, std::chrono::seconds(10)));
        rx.Answer(2);
        ASSERT_TRUE(rx.WaitForPolls(1));
        auto copiesIn = [](const std::vector<Packet>& packets, uint32_t block) {
            size_t n = 0;
            for (auto& p : packets) n += p.type() == proto::kRepairBlock && p.U32(3) == 1 && p.U32(7) == block;
            return n;
        };
        auto copiesOf = [&](uint32_t block) { return copiesIn(group.All(), block); };
        rx.Ack(1, 3);
        ASSERT_TRUE(group.WaitUntil([&](const std::vector<Packet>& all) { return copiesIn(all, 3) >= 1; }));
        tivlo::platform::SleepMs(350);
        if (rate == 0) {
            EXPECT_EQ(copiesOf(3), 1u) << "the watchdog resends at its second tick, not before";
            e.DeInit();
            continue;
        }
        // Sent at 0 ms, again at 10, 30, 70, 150 and 310 ms.
        EXPECT_GE(copiesOf(3), 5u);
        EXPECT_LE(copiesOf(3), 7u);
        rx.Ack(1, 5);
        ASSERT_TRUE(group.WaitUntil([&](const std::vector<Packet>& all) { return copiesIn(all, 5) >= 1; }));
        const size_t settled = copiesOf(3);
        tivlo::platform::SleepMs(200);
        EXPECT_EQ(copiesOf(3), settled) << "the new Ack closed the old request";
        EXPECT_GE(copiesOf(5), 3u) << "and opened its own";
        // The master that says it misses nothing gets its Poll(0), and no
        // Repair block follows.
        rx.Ack(2, 0);
        ASSERT_TRUE(rx.WaitForPolls(2));
        EXPECT_EQ(rx.PollTurn(1), 0u);
        const size_t after = copiesOf(5);
        tivlo::platform::SleepMs(300);
        EXPECT_EQ(copiesOf(5), after);
        e.DeInit();
    }
}

}  // namespace
