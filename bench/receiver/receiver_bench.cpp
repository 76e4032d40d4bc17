// Feeds a real ClientEngine with Data blocks over loopback (interface
// 127.0.0.1, nothing leaves the machine) and measures:
//   - unpaced: the sender sends as fast as loopback takes it; blocks the
//     receiver accepted, and how fast it took and wrote them;
//   - paced by feedback: the sender never runs more than a socket buffer's
//     worth ahead of what the receiver has read, which gives the rate the
//     receive and write threads sustain without loss;
// and the peak resident memory of the process.
//
// Usage: bench_receiver [blocks] [directory on a disk]
#include <stdlib.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "protocol/blocks.h"
#include "protocol/packets.h"
#include "receiver/client_engine.h"

namespace {

using namespace tivlo;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const uint32_t kLoopback = platform::ParseIPv4("127.0.0.1");
const uint32_t kGroup = platform::ParseIPv4("239.77.9.9");
constexpr uint16_t kPort = 46100;

struct Result {
    double seconds = 0;
    uint32_t sent = 0;
    uint32_t accepted = 0;
    uint32_t missing = 0;
    bool exact = false;
};

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

Result Run(const fs::path& base, uint32_t blocks, bool paced, int run) {
    Result r;
    const fs::path root = base / ("run" + std::to_string(run));
    const std::u16string rootText = platform::Utf8ToUtf16(root.string());
    const uint64_t length = uint64_t(blocks - 1) * protocol::kBlockSize + 1000;

    receiver::ClientEngine engine;
    engine.groupAddress = kGroup;
    engine.dataPort = uint16_t(kPort + run * 10);
    if (engine.Initialize(kLoopback) != 1) {
        std::fprintf(stderr, "cannot initialise the receiver\n");
        std::exit(1);
    }
    // Feedback for the paced run: datagrams that reached the data socket.
    std::atomic<uint32_t> arrived{0};
    engine.dataSocket.SetInboundFilter([&arrived](const uint8_t*, size_t) {
        arrived.fetch_add(1, std::memory_order_relaxed);
        return false;
    });
    engine.StartThreads();

    platform::UdpSocket out, answers;
    if (!out.Open() || !out.Bind(kLoopback, 0) || !out.SetMulticastInterface(kLoopback) || !out.SetMulticastTtl(1) ||
        !answers.Open() || !answers.SetReuseAddress() || !answers.Bind(kLoopback, uint16_t(engine.dataPort + 2))) {
        std::fprintf(stderr, "cannot open the sender's sockets\n");
        std::exit(1);
    }
    const platform::Endpoint group{kGroup, engine.dataPort};

    std::vector<uint8_t> packet(protocol::kMaxDatagram, 0);
    bench::AnnounceTask(out, group, engine, blocks, rootText);
    const uint32_t arrivedBefore = arrived.load();

    std::vector<uint8_t> data(protocol::kBlockSize);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
    const uint32_t last = uint32_t(length / protocol::kBlockSize);
    const uint16_t lastLength = uint16_t(length % protocol::kBlockSize);
    protocol::WriteBlockHeader(packet.data(), protocol::kDataBlock);
    protocol::WriteBlockFile(packet.data(), last, lastLength, protocol::WideNameField(u"\\bench\\data.bin"));
    std::memcpy(packet.data() + protocol::kBlockHeadSize, data.data(), data.size());

    // About 150 datagrams fit the receiver's socket buffer.
    constexpr uint32_t kWindow = 150;
    const auto start = Clock::now();
    for (uint32_t b = 0; b <= last; ++b) {
        if (paced) {
            while (b - (arrived.load(std::memory_order_relaxed) - arrivedBefore) > kWindow) std::this_thread::yield();
        }
        protocol::WriteBlockPosition(packet.data(), 1, b);
        const size_t size = protocol::kBlockHeadSize + protocol::BlockDataLength(b, last, lastLength);
        if (out.SendTo(packet.data(), size, group)) ++r.sent;
    }
    // Until the receive thread has read everything that arrived and the
    // write thread has emptied its queue.
    uint32_t seen = 0;
    auto quiet = Clock::now();
    for (;;) {
        uint32_t now = arrived.load();
        if (now != seen) {
            seen = now;
            quiet = Clock::now();
        }
        if (engine.QueuedCount() == 0 && Since(quiet) > 0.05) break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    r.seconds = Since(start) - 0.05;

    size_t n = protocol::EncodeFinish(protocol::Finish{0}, packet.data());
    out.SendTo(packet.data(), n, group);
    std::vector<uint8_t> answer(64);
    platform::Endpoint from;
    for (;;) {
        int got = answers.ReceiveFromTimeout(answer.data(), answer.size(), &from, 120000);
        if (got < 0) break;
        if (got >= 7 && answer[2] == protocol::kAnswer) {
            r.missing = protocol::GetU32(answer.data() + 3);
            break;
        }
    }
    r.accepted = blocks - r.missing;
    engine.CloseAll();
    if (r.missing == 0) {
        std::error_code ec;
        r.exact = fs::file_size(root / "bench" / "data.bin", ec) == length;
    }
    std::error_code ec;
    fs::remove_all(root, ec);
    return r;
}

void Print(const char* name, const Result& r) {
    std::printf("%-20s sent %7u  accepted %7u (%.2f %% lost)  %.3f s  %9.0f blocks/s  %7.1f MB/s%s\n", name, r.sent,
                r.accepted, 100.0 * r.missing / r.sent, r.seconds, r.accepted / r.seconds,
                r.accepted * double(protocol::kBlockSize) / r.seconds / 1e6, r.exact ? "  file complete" : "");
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t blocks = argc > 1 ? uint32_t(std::strtoul(argv[1], nullptr, 10)) : 50000;
    fs::path base = argc > 2 ? fs::path(argv[2]) : fs::current_path() / "bench-receiver-files";
    fs::create_directories(base);
    platform::SetTimeScale(1.0);
    platform::SetFixedDiskOverride([](const std::u16string&) { return true; });

    std::printf("receiver benchmark: %u blocks of %u bytes (%.1f MB) into %s\n", blocks, protocol::kBlockSize,
                blocks * double(protocol::kBlockSize) / 1e6, base.c_str());
    Print("unpaced", Run(base, blocks, false, 0));
    Print("paced by feedback", Run(base, blocks, true, 1));

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory: %.1f MiB\n", usage.ru_maxrss / 1024.0);
    std::error_code ec;
    fs::remove_all(base, ec);
    return 0;
}
