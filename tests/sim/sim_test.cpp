// The cores in the simulator: random runs that must keep the promise (every
// receiver either holds a byte-exact copy and was told so, or was told a
// failure and is named by the sender), and scripted runs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "sim/sim.h"

namespace tivlo::sim {
namespace {

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text ? std::strtoull(text, nullptr, 10) : fallback;
}

TEST(SimProperty, RandomRuns) {
    const uint64_t first = EnvNumber("TIVLO_SIM_SEED", 1);
    const uint64_t count = EnvNumber("TIVLO_SIM_SEEDS", 300);
    const auto started = std::chrono::steady_clock::now();
    int failures = 0;
    for (uint64_t seed = first; seed < first + count; ++seed) {
        const Plan plan = RandomPlan(seed);
        const Result result = Simulate(plan);
        const std::string broken = CheckOutcome(plan, result);
        if (!broken.empty()) {
            ++failures;
            ADD_FAILURE() << "seed " << seed << ": " << broken << "\n  replay: TIVLO_SIM_SEED=" << seed
                          << " TIVLO_SIM_SEEDS=1 tests/sim/test_sim --gtest_filter=SimProperty.RandomRuns";
            if (failures > 10) break;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%llu seeds in %.1f s\n", (unsigned long long)count, seconds);
}

TEST(SimDebug, Describe) {
    if (!std::getenv("TIVLO_SIM_DESCRIBE")) GTEST_SKIP();
    const Plan plan = RandomPlan(EnvNumber("TIVLO_SIM_SEED", 1));
    std::printf("rate %u, stop %lld, hostile %.1f, files:", plan.rateKbps, (long long)plan.stopAt, plan.hostilePerSecond);
    for (auto s : plan.fileSizes) std::printf(" %llu", (unsigned long long)s);
    std::printf("\n");
    for (auto& r : plan.receivers)
        std::printf("  loss %.2f/%.2f burst %.2f dup %.2f jitter %lld start %lld dies %lld silent %lld-%lld free %llu fixed %d disk %u/%u\n",
                    r.down.loss, r.up.loss, r.down.burstEnter, r.down.duplicate, (long long)r.down.jitter, (long long)r.startsAt,
                    (long long)r.diesAt, (long long)r.silentFrom, (long long)r.silentUntil, (unsigned long long)r.freeBytes, r.fixedDisk,
                    r.diskBlocksPerSecond, r.bufferBlocks);
    const Result result = Simulate(plan);
    std::printf("ended %d code %u at %lld limit %lld events %llu data %llu repair %llu\n", result.senderEnded, result.senderCode,
                (long long)result.endedAt, (long long)result.limit, (unsigned long long)result.events,
                (unsigned long long)result.dataBlocks, (unsigned long long)result.repairBlocks);
    for (auto& o : result.receivers)
        std::printf("  dead %d joined %d complete %d failure %d code %u exact %d errinfo %u %s\n", o.dead, o.joined, o.toldComplete,
                    o.toldFailure, o.lastCode, o.exactCopy, o.errInfoCode, o.copyProblem.c_str());
}

}  // namespace
}  // namespace tivlo::sim
