// Fuzz target: the receiver's dispatcher fed a sequence of datagrams, as its
// receive loop would hand them over. The harness plays the write thread and
// the gap thread itself, in step, so every run is deterministic; replies go
// out of a data socket on 127.0.0.1 only.
//
// Input: records of [u16 length][u8 flags][length bytes]. Flags: bit 0 on a
// Task: its target path becomes a folder inside the allowed directory (bit 3:
// that directory followed by the Task's own name, which may try to climb
// out); bit 1: the write thread does not run after this datagram (the block
// pool fills up); bits 4-7 pick the folder.
//
// After every datagram: the pool's buffers are all accounted for, each queued
// block is exactly its head and data, the missing-block map never holds more
// entries than the task has blocks, and every entry is a block of a file
// the task can have. After the sequence: nothing exists outside the allowed
// directory, and inside it only below a root the receiver accepted.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "protocol/blocks.h"
#include "protocol/packets.h"
#include "receiver/client_engine.h"
#include "fuzz_check.h"

namespace {

using namespace tivlo;
namespace fs = std::filesystem;

const uint32_t kLoopback = platform::ParseIPv4("127.0.0.1");
constexpr size_t kMaxSteps = 96;

struct Harness {
    fs::path base;
    fs::path allowed;
    std::u16string allowedText;
    receiver::ClientEngine engine;
};
Harness* H = nullptr;

void Cleanup() {
    if (H == nullptr) return;
    std::error_code ec;
    fs::remove_all(H->base, ec);
}

void DrainWriter() {
    auto& e = H->engine;
    while (receiver::QueuedBlock* block = e.TakeQueued()) {
        e.WriteBlock(*block);
        e.ReleaseQueued(block);
    }
}

void DrainGaps() {
    auto& e = H->engine;
    for (;;) {
        receiver::GapRecord record;
        {
            platform::LockGuard guard(e.gapLock);
            if (e.gapList.empty()) return;
            record = e.gapList.front();
            e.gapList.pop_front();
        }
        e.ExpandGap(record);
    }
}

void CheckEngine() {
    auto& e = H->engine;
    {
        platform::LockGuard guard(e.queueLock);
        CHECK(e.queueCount + e.freeSlots.size() == e.blockPoolSize);
        for (uint32_t i = 0; i < e.queueCount; ++i) {
            const receiver::QueuedBlock& q = e.blockPool[e.queueRing[(e.queueHead + i) % e.blockPoolSize]];
            auto b = protocol::DecodeBlock(protocol::Datagram(q.bytes.data(), q.length));
            CHECK(b.has_value());
            CHECK(b->file >= 1 && b->block <= b->lastIndex && b->lastLength <= protocol::kBlockSize);
            CHECK(q.length == protocol::kBlockHeadSize +
                                  protocol::BlockDataLength(b->block, b->lastIndex, b->lastLength));
        }
    }
    CHECK(e.claimedBlocks <= e.totalBlocks);
    platform::LockGuard guard(e.missingLock);
    CHECK(e.missing.size() <= e.totalBlocks);
    for (const auto& [key, entry] : e.missing) {
        CHECK(key == receiver::MakeMissingKey(entry.file, entry.block));
        CHECK(entry.file >= 1 && entry.file <= e.fileCount);
        auto shape = e.fileShapes.find(entry.file);
        if (shape != e.fileShapes.end()) CHECK(entry.block <= shape->second);
        else CHECK(entry.block == 0);
    }
}

bool Below(const std::u16string& path, const std::u16string& dir) {
    return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
                           path[dir.size()] == u'/');
}

void CheckFiles(const std::vector<std::u16string>& roots) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(H->base, fs::directory_options::none, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const std::u16string path = it->path().lexically_normal().u16string();
        CHECK(Below(path, H->allowedText));
        if (path == H->allowedText) continue;
        bool placed = false;
        for (const auto& root : roots) {
            // Inside a root, or a directory on the way to one.
            if (Below(path, root) || (it->is_directory() && Below(root, path))) placed = true;
        }
        if (!placed) std::fprintf(stderr, "stray entry: %s\n", it->path().c_str());
        CHECK(placed);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::SetTimeScale(0.0001);
    char pattern[] = "/tmp/tivlo-fuzz-receiver-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    H = new Harness;
    H->base = pattern;
    H->allowed = H->base / "allowed";
    fs::create_directories(H->allowed);
    H->allowedText = H->allowed.u16string();
    std::atexit(Cleanup);
    platform::SetFixedDiskOverride([](const std::u16string&) { return true; });
    // 64 MiB free: a Task of up to 15,775 blocks passes the disk check.
    platform::SetFreeSpaceOverride([](const std::u16string&, uint64_t* bytes) {
        *bytes = uint64_t(64) << 20;
        return true;
    });
    auto& e = H->engine;
    e.groupAddress = platform::ParseIPv4("239.77.13.1");
    e.dataPort = uint16_t(47000 + (getpid() % 1000) * 4);
    e.blockPoolCapacity = 8;
    // Only the allowed directory: a Task that names any other place is
    // refused before anything is created.
    e.SetAllowedRoots({H->allowedText});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& e = H->engine;
    if (e.Initialize(kLoopback) != 1) std::abort();
    // No threads: this harness is the write thread and the gap thread.
    e.threadStartPending = false;
    e.gapDone.Set();

    std::vector<std::u16string> roots;
    const platform::Endpoint from{kLoopback, uint16_t(e.dataPort + 1)};
    size_t pos = 0;
    for (size_t step = 0; step < kMaxSteps && pos + 3 <= size; ++step) {
        size_t length = size_t(data[pos]) | size_t(data[pos + 1]) << 8;
        const uint8_t flags = data[pos + 2];
        pos += 3;
        length = std::min({length, size - pos, protocol::kMaxDatagram});
        // Exactly the datagram's bytes, on the heap.
        std::vector<uint8_t> datagram(data + pos, data + pos + length);
        pos += length;

        if ((flags & 1) && length >= protocol::kTaskSize && datagram[2] == protocol::kTask) {
            std::u16string path = H->allowedText + u"/r" + char16_t(u'0' + (flags >> 4) % 10);
            if (flags & 8) {
                path = H->allowedText + protocol::ReadWideName(datagram.data() + protocol::off::kTaskName,
                                                               protocol::GetU32(datagram.data() + protocol::off::kTaskNameCount));
            }
            protocol::NameField field = protocol::WideNameField(path);
            std::memcpy(datagram.data() + protocol::off::kTaskName, field.bytes.data(), protocol::kNameFieldBytes);
            protocol::PutU32(datagram.data() + protocol::off::kTaskNameCount, field.count);
            protocol::PutU32(datagram.data() + protocol::off::kTaskMode, receiver::kAllBitsMode);
        }

        const bool end = e.HandleDatagram(datagram.data(), datagram.size(), from);
        if (e.taskAccepted) {
            std::u16string root;
            CHECK(platform::NormalizePath(e.TargetRoot(), &root));
            CHECK(Below(root, H->allowedText));
            if (std::find(roots.begin(), roots.end(), root) == roots.end()) roots.push_back(root);
        }
        if ((flags & 2) == 0) DrainWriter();
        DrainGaps();
        CheckEngine();
        if (end || e.EndedOrStopped()) break;
    }
    DrainWriter();
    CheckEngine();

    e.receiveDone.Set();
    e.writeDone.Set();
    e.CloseAll();
    CheckFiles(roots);
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(H->allowed, ec)) fs::remove_all(entry.path(), ec);
    return 0;
}
