// The repair phase at scale: 10, 50 and 200 receivers, tasks of 20 and 200
// MB, independent loss of 0, 2 and 10 % and 2 % in bursts, on a 1 Gbit/s
// link with round trips of 0.2, 0.5 and 1 ms, streamed at 950 Mbit/s. For
// each, the protocol time of the stream and of the repair phase and the
// Repair blocks sent, with a window of Acks and one Ack at a time.
//
//   sim_bench [--quick] [--receivers N] [--megabytes M] [--loss 0..3] [--window-only]
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/sim.h"

using namespace tivlo::sim;

namespace {

struct Loss {
    const char* name;
    double independent;
    double burstEnter;  // a burst of about ten
};

Result RunOne(int receivers, int megabytes, const Loss& loss, double rttMs, uint32_t window) {
    Plan plan;
    plan.seed = 42;
    plan.fileSizes = {uint64_t(megabytes) * 1000000};
    plan.rateKbps = 950000;
    plan.linkBitsPerSecond = 1000000000;
    plan.repairWindow = window;
    plan.receivers.resize(receivers);
    for (ReceiverPlan& r : plan.receivers) {
        r.down.delay = r.up.delay = Time(rttMs * 1e6 / 2);
        r.down.loss = loss.independent;
        r.down.burstEnter = loss.burstEnter;
        r.down.burstStay = loss.burstEnter > 0 ? 0.9 : 0;
    }
    const Result result = Simulate(plan);
    const std::string broken = CheckOutcome(plan, result);
    if (!broken.empty()) std::printf("  PROMISE BROKEN: %s\n", broken.c_str());
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> receivers = {10, 50, 200};
    std::vector<int> sizes = {20, 200};
    std::vector<double> rtts = {0.2, 0.5, 1.0};
    std::vector<Loss> losses = {{"0 %", 0, 0}, {"2 %", 0.02, 0}, {"10 %", 0.10, 0}, {"2 % bursts", 0, 0.002}};
    bool compare = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--quick")) {
            receivers = {200};
            sizes = {20};
            rtts = {0.5};
        } else if (!std::strcmp(argv[i], "--receivers") && i + 1 < argc) {
            receivers = {std::atoi(argv[++i])};
        } else if (!std::strcmp(argv[i], "--megabytes") && i + 1 < argc) {
            sizes = {std::atoi(argv[++i])};
        } else if (!std::strcmp(argv[i], "--loss") && i + 1 < argc) {
            const int k = std::atoi(argv[++i]);
            losses = {losses[size_t(k) % losses.size()]};
        } else if (!std::strcmp(argv[i], "--window-only")) {
            compare = false;
        }
    }
    std::printf("| receivers | MB | loss | RTT ms | stream s | repair s (window) | repair/stream | repair blocks | "
                "repair s (one Ack) | repair blocks | run s |\n|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (int n : receivers) {
        for (int mb : sizes) {
            for (const Loss& loss : losses) {
                for (double rtt : rtts) {
                    const auto started = std::chrono::steady_clock::now();
                    const Result w = RunOne(n, mb, loss, rtt, 64);
                    const Result one = compare ? RunOne(n, mb, loss, rtt, 1) : Result{};
                    const double stream = (w.streamEnd - w.streamStart) / 1e9;
                    const double repair = (w.senderEndedAt - w.streamEnd) / 1e9;
                    const double repairOne = (one.senderEndedAt - one.streamEnd) / 1e9;
                    std::printf("| %d | %d | %s | %.1f | %.3f | %.3f | %.2f | %llu | %.3f | %llu | %.1f |\n", n, mb,
                                loss.name, rtt, stream, repair, repair / stream, (unsigned long long)w.repairBlocks,
                                repairOne, (unsigned long long)one.repairBlocks,
                                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
                    std::fflush(stdout);
                }
            }
        }
    }
    return 0;
}
