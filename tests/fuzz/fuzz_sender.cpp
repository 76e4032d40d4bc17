// Fuzz target: the sender's answer handling fed a sequence of answers from
// receivers at 127.0.x.y (loopback only; Polls, Holds and Repair blocks go
// there or to the group on 127.0.0.1). Each answer is cut to 11 bytes as the
// answer thread reads it.
//
// Input: records of [u8 x][u8 y][u8 length][length bytes].
//
// After every answer: the roster holds at most 200 receivers, each address
// once; the master index is a record or "none left"; the failure count never
// exceeds the Finish(1) packets fed; an Ack's request is what the sender
// remembers; an answer that ends the loop has ended or stopped the transfer.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "protocol/packets.h"
#include "sender/server_engine.h"
#include "fuzz_check.h"

namespace {

using namespace tivlo;
namespace fs = std::filesystem;

const uint32_t kLoopback = platform::ParseIPv4("127.0.0.1");
constexpr size_t kMaxSteps = 512;

fs::path g_base;
sender::ServerEngine* g_engine = nullptr;

void Cleanup() {
    std::error_code ec;
    if (!g_base.empty()) fs::remove_all(g_base, ec);
}

void WriteFile(const fs::path& path, size_t length) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    for (size_t i = 0; i < length; ++i) out.put(char(i * 31));
}

void Prepare() {
    auto& e = *g_engine;
    if (e.SetUp(kLoopback) != 1) std::abort();
    const std::u16string set = platform::Utf8ToUtf16((g_base / "set").string());
    if (e.SetSelectFiles({set}) != 1) std::abort();
    e.fileCount = uint32_t(e.transferList.size());
    e.totalBlocks = uint32_t(e.CountTotalBlocks());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::SetTimeScale(0.0001);
    char pattern[] = "/tmp/tivlo-fuzz-sender-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    g_base = pattern;
    std::atexit(Cleanup);
    WriteFile(g_base / "set" / "a.bin", 3 * 4254 + 17);
    WriteFile(g_base / "set" / "sub" / "b.bin", 0);
    WriteFile(g_base / "set" / "c.bin", 2 * 4254);
    g_engine = new sender::ServerEngine();
    g_engine->groupAddress = platform::ParseIPv4("239.77.13.2");
    g_engine->dataPort = uint32_t(51000 + (getpid() % 1000) * 4);
    Prepare();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& e = *g_engine;
    // A failed send closes the sockets: set up again.
    if (!e.sendSocket.IsOpen() || !e.receiveSocket.IsOpen()) Prepare();
    // A fresh repair phase: no receiver yet, nothing ended.
    e.receiverCount = 0;
    e.masterIndex = 0;
    e.masterIndexSeen = 0;
    e.failedCount = 0;
    e.unicastPhase = 0;
    e.pendingSeen = 0;
    e.recordZeroRepeats = 0;
    e.finishedFlag = 0;
    e.stopFlag = 0;
    e.answerShut = 0;
    e.awaitingFirstCompletion = 1;
    e.lastRequestFile = 0;
    e.lastRequestBlock = 0;

    int32_t failuresFed = 0;
    size_t pos = 0;
    for (size_t step = 0; step < kMaxSteps && pos + 3 <= size; ++step) {
        const platform::Endpoint from{protocol::IPv4(127, 0, data[pos], data[pos + 1]), uint16_t(e.dataPort)};
        size_t length = std::min<size_t>(data[pos + 2], size - pos - 3);
        pos += 3;
        std::vector<uint8_t> answer(data + pos, data + pos + std::min(length, protocol::kAnswerReadSize));
        pos += length;

        const bool isAck = answer.size() >= protocol::kAckSize && protocol::HasMagic(answer.data(), answer.size()) &&
                           answer[2] == protocol::kAck;
        if (answer.size() >= protocol::kFinishSize && protocol::HasMagic(answer.data(), answer.size()) &&
            answer[2] == protocol::kFinish && answer[3] != 0)
            ++failuresFed;

        const bool end = e.HandleAnswerDatagram(answer.data(), answer.size(), from);

        const int32_t n = e.receiverCount.load();
        CHECK(n >= 0 && n <= sender::kRosterSize);
        for (int32_t i = 0; i < n; ++i)
            for (int32_t j = i + 1; j < n; ++j) CHECK(e.roster[i].address.addr != e.roster[j].address.addr);
        const int32_t m = e.masterIndex.load();
        CHECK(m >= 0 && m <= std::max(n, 0));
        CHECK(e.failedCount.load() <= failuresFed && e.failedCount.load() <= n);
        if (isAck) {
            CHECK(e.lastRequestFile.load() == protocol::GetU32(answer.data() + protocol::off::kAckFile));
            CHECK(e.lastRequestBlock.load() == protocol::GetU32(answer.data() + protocol::off::kAckBlock));
        }
        if (end) {
            CHECK(e.finishedFlag.load() != 0 || e.stopFlag.load() != 0 || e.answerShut.load() != 0);
            break;
        }
    }
    return 0;
}
