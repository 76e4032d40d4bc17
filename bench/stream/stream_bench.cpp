// Stream benchmark: the sender streams one file (20 MB by default) to a
// listener on loopback at its default pacing. Prints blocks per second,
// MB/s and the sender's CPU time.
//
//   bench_stream [megabytes] [data port]
//
// Interface 127.0.0.1 only: nothing leaves the machine.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "platform/system.h"
#include "platform/window.h"
#include "protocol/wire.h"
#include "sender/server_engine.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace proto = tivlo::protocol;

constexpr uint32_t kLoopback = proto::IPv4(127, 0, 0, 1);
constexpr uint32_t kGroup = proto::IPv4(239, 255, 42, 99);

double CpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Listener {
    std::atomic<uint64_t> blocks{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> outOfOrder{0};
    std::atomic<bool> done{false};
    Clock::time_point first, last;
    double cpu = 0;  // the listener's own CPU time, not the sender's
    uint64_t expected = 0;

    void Run(uint16_t port) {
        int fd = tivlo::bench::OpenGroupListener(port, kGroup, kLoopback, 8 << 20);
        std::vector<uint8_t> buffer(65536);
        uint32_t lastBlock = 0;
        bool any = false;
        while (!done) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
            if (n < 3 || buffer[2] != proto::kDataBlock) continue;
            uint32_t block = proto::GetU32(buffer.data() + proto::off::kBlockIndex);
            if (any && block != lastBlock + 1) ++outOfOrder;
            any = true;
            lastBlock = block;
            auto now = Clock::now();
            if (blocks == 0) first = now;
            last = now;
            bytes += uint64_t(n) - proto::kBlockHeadSize;
            if (++blocks == expected) done = true;
        }
        cpu = CpuSeconds(RUSAGE_THREAD);
        close(fd);
    }
};

}  // namespace

int main(int argc, char** argv) {
    const uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20;
    const uint16_t port = argc > 2 ? uint16_t(std::atoi(argv[2])) : 43900;
    const uint64_t length = megabytes * 1000 * 1000;

    auto dir = std::filesystem::temp_directory_path() / ("tivlo-bench-stream-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    auto file = dir / "payload.bin";
    {
        std::ofstream out(file, std::ios::binary);
        std::vector<char> chunk(1 << 20);
        for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = char(i * 131 + 7);
        for (uint64_t left = length; left > 0;) {
            size_t n = size_t(std::min<uint64_t>(left, chunk.size()));
            out.write(chunk.data(), std::streamsize(n));
            left -= n;
        }
    }

    Listener listener;
    listener.expected = length / proto::kBlockSize + 1;
    std::thread listen([&] { listener.Run(port); });

    uintptr_t window = tivlo::platform::CreateHostWindow([](void*, uint32_t, uintptr_t, intptr_t) {}, nullptr);
    tivlo::sender::ServerEngine engine;
    engine.groupAddress = kGroup;
    engine.dataPort = port;
    engine.hostWindow = window;
    if (!engine.SetUp(kLoopback) || !engine.StartAckThread()) {
        std::fprintf(stderr, "sender set-up failed\n");
        return 1;
    }
    if (engine.SetSelectFiles({tivlo::platform::Utf8ToUtf16(file.string())}) != 1) {
        std::fprintf(stderr, "selection refused\n");
        return 1;
    }

    const double cpuBefore = CpuSeconds(RUSAGE_SELF);
    const auto start = Clock::now();
    engine.awaitingFirstCompletion = 1;
    engine.finishedFlag = 0;
    engine.BeginTransfer();
    while (!listener.done && Clock::now() - start < std::chrono::seconds(600))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    listener.done = true;
    listen.join();
    engine.Stop();
    engine.DeInit();
    const double cpuSender = CpuSeconds(RUSAGE_SELF) - cpuBefore - listener.cpu;

    const double seconds = std::chrono::duration<double>(listener.last - listener.first).count();
    const uint64_t blocks = listener.blocks;
    std::printf("stream: %llu of %llu blocks, %llu out of order\n", (unsigned long long)blocks,
                (unsigned long long)listener.expected, (unsigned long long)listener.outOfOrder.load());
    std::printf("time: %.2f s (first to last Data block)\n", seconds);
    std::printf("rate: %.1f blocks/s, %.3f MB/s\n", double(blocks) / seconds,
                double(listener.bytes) / seconds / 1e6);
    std::printf("sender CPU: %.2f s (%.1f %% of one core)\n", cpuSender, 100.0 * cpuSender / seconds);

    tivlo::platform::DestroyHostWindow(window);
    std::filesystem::remove_all(dir);
    return blocks == listener.expected ? 0 : 2;
}
