// Heap allocations per block in the steady state of a stream, counted by a
// replaced global operator new (every thread of the process).
//
//   bench_alloc [blocks]
//
// Sender: a ServerEngine streams one file at a set rate to a plain listener
// socket; counted between the listener's 1000th block and the one 1000
// before the end, so the start (threads, buffers) and the end (Finish,
// Poll) are outside. Receiver: a ClientEngine takes one file's Data blocks
// from a plain sender socket and writes them; counted the same way over the
// blocks the engine has read. Both with a host window, as a host has one, so
// the 1042 notifications count too. Interface 127.0.0.1 only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "platform/window.h"
#include "protocol/blocks.h"
#include "protocol/packets.h"
#include "protocol/wire.h"
#include "receiver/client_engine.h"
#include "sender/server_engine.h"

// ---- The counting allocator ----

namespace {
std::atomic<uint64_t> g_allocations{0};

void* Allocate(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* AllocateAligned(std::size_t size, std::align_val_t align) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    const std::size_t a = static_cast<std::size_t>(align);
    if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new(std::size_t size, std::align_val_t align) { return AllocateAligned(size, align); }
void* operator new[](std::size_t size, std::align_val_t align) { return AllocateAligned(size, align); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

using namespace tivlo;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const uint32_t kLoopback = protocol::IPv4(127, 0, 0, 1);
const uint32_t kGroup = protocol::IPv4(239, 255, 42, 98);
constexpr uint32_t kMargin = 1000;

void NoOpProc(void*, uint32_t, uintptr_t, intptr_t) {}

// Counts the Data blocks of a group on loopback; snapshots the allocation
// counter at two block counts.
struct Listener {
    std::atomic<uint32_t> blocks{0};
    std::atomic<bool> done{false};
    uint64_t atFirst = 0, atSecond = 0;
    uint32_t first = 0, second = 0;

    void Run(uint16_t port) {
        int fd = bench::OpenGroupListener(port, kGroup, kLoopback, 16 << 20);
        static uint8_t buffer[65536];
        while (!done) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n < 3 || buffer[2] != protocol::kDataBlock) continue;
            const uint32_t count = blocks.fetch_add(1) + 1;
            if (count == first) atFirst = g_allocations.load();
            if (count == second) atSecond = g_allocations.load();
        }
        close(fd);
    }
};

void SenderSide(const fs::path& dir, uint32_t blockCount) {
    const fs::path file = dir / "payload.bin";
    {
        std::ofstream out(file, std::ios::binary);
        std::vector<char> chunk(protocol::kBlockSize);
        for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = char(i * 131 + 7);
        for (uint32_t b = 0; b + 1 < blockCount; ++b) out.write(chunk.data(), std::streamsize(chunk.size()));
        out.write(chunk.data(), 100);
    }
    const uint16_t port = 46300;
    Listener listener;
    listener.first = kMargin;
    listener.second = blockCount - kMargin;
    std::thread listen([&] { listener.Run(port); });

    uintptr_t window = platform::CreateHostWindow(NoOpProc, nullptr);
    sender::ServerEngine engine;
    engine.groupAddress = kGroup;
    engine.dataPort = port;
    engine.hostWindow = window;
    if (!engine.SetUp(kLoopback) || !engine.StartAckThread() ||
        engine.SetSelectFiles({platform::Utf8ToUtf16(file.string())}) != 1) {
        std::fprintf(stderr, "sender set-up failed\n");
        std::exit(1);
    }
    // 200 Mbit/s: loopback and the listener keep up, so every block counts.
    engine.sendRate = 200000;
    engine.awaitingFirstCompletion = 1;
    engine.finishedFlag = 0;
    engine.BeginTransfer();
    const auto start = Clock::now();
    while (listener.blocks.load() < blockCount && Clock::now() - start < std::chrono::seconds(120))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    listener.done = true;
    listen.join();
    engine.Stop();
    engine.DeInit();
    platform::DestroyHostWindow(window);
    if (listener.atSecond == 0) {
        std::printf("sender:   only %u of %u blocks arrived; no count\n", listener.blocks.load(), blockCount);
        return;
    }
    const uint32_t span = listener.second - listener.first;
    const uint64_t allocations = listener.atSecond - listener.atFirst;
    std::printf("sender:   %llu allocations over %u blocks in the steady state: %.3f per block\n",
                (unsigned long long)allocations, span, double(allocations) / span);
}

void ReceiverSide(const fs::path& dir, uint32_t blockCount) {
    const fs::path root = dir / "target";
    const std::u16string rootText = platform::Utf8ToUtf16(root.string());
    uintptr_t window = platform::CreateHostWindow(NoOpProc, nullptr);
    receiver::ClientEngine engine;
    engine.groupAddress = kGroup;
    engine.dataPort = 46310;
    engine.hostWindow = window;
    if (engine.Initialize(kLoopback) != 1) {
        std::fprintf(stderr, "cannot initialise the receiver\n");
        std::exit(1);
    }
    // Snapshots when the receive thread has read the chosen datagrams.
    std::atomic<uint32_t> arrived{0};
    std::atomic<uint64_t> atFirst{0}, atSecond{0};
    engine.dataSocket.SetInboundFilter([&](const uint8_t* data, size_t length) {
        if (length > 2 && data[2] == protocol::kDataBlock) {
            const uint32_t n = arrived.fetch_add(1, std::memory_order_relaxed) + 1;
            if (n == kMargin) atFirst = g_allocations.load();
            if (n == blockCount - kMargin) atSecond = g_allocations.load();
        }
        return false;
    });
    engine.StartThreads();

    platform::UdpSocket out;
    if (!out.Open() || !out.Bind(kLoopback, 0) || !out.SetMulticastInterface(kLoopback) || !out.SetMulticastTtl(1)) {
        std::fprintf(stderr, "cannot open the sending socket\n");
        std::exit(1);
    }
    const platform::Endpoint group{kGroup, engine.dataPort};
    std::vector<uint8_t> packet(protocol::kMaxDatagram, 0);
    bench::AnnounceTask(out, group, engine, blockCount, rootText);

    const uint32_t last = blockCount - 1;
    protocol::WriteBlockHeader(packet.data(), protocol::kDataBlock);
    protocol::WriteBlockFile(packet.data(), last, 100, protocol::WideNameField(u"\\bench\\data.bin"));
    for (uint32_t i = 0; i < protocol::kBlockSize; ++i) packet[protocol::kBlockHeadSize + i] = uint8_t(i * 7);
    // Never more than a socket buffer's worth ahead of the receive thread,
    // so no block is lost and the count covers every block.
    const uint32_t arrivedBefore = arrived.load();
    for (uint32_t b = 0; b <= last; ++b) {
        while (b - (arrived.load(std::memory_order_relaxed) - arrivedBefore) > 100) std::this_thread::yield();
        protocol::WriteBlockPosition(packet.data(), 1, b);
        out.SendTo(packet.data(), protocol::kBlockHeadSize + protocol::BlockDataLength(b, last, 100), group);
    }
    while (engine.QueuedCount() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    engine.CloseAll();
    platform::DestroyHostWindow(window);
    if (atSecond.load() == 0) {
        std::printf("receiver: only %u of %u blocks arrived; no count\n", arrived.load(), blockCount);
        return;
    }
    const uint32_t span = blockCount - 2 * kMargin;
    const uint64_t allocations = atSecond.load() - atFirst.load();
    std::printf("receiver: %llu allocations over %u blocks in the steady state: %.3f per block\n",
                (unsigned long long)allocations, span, double(allocations) / span);
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t blocks = argc > 1 ? uint32_t(std::strtoul(argv[1], nullptr, 10)) : 20000;
    if (blocks < 3 * kMargin) {
        std::fprintf(stderr, "at least %u blocks\n", 3 * kMargin);
        return 2;
    }
    platform::SetTimeScale(1.0);
    platform::SetFixedDiskOverride([](const std::u16string&) { return true; });
    const fs::path dir = fs::path("/var/tmp") / ("tivlo-bench-alloc-" + std::to_string(getpid()));
    fs::create_directories(dir);
    SenderSide(dir, blocks);
    ReceiverSide(dir, blocks);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
