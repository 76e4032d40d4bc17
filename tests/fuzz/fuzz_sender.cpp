// Fuzz target: the sender core in its repair phase fed a sequence of answers
// from receivers at 127.0.x.y, each cut to 11 bytes as the engine reads it,
// with the time moving on between them.
//
// Input: records of [u8 x][u8 y][u8 milliseconds][u8 length][length bytes].
//
// After every answer: the roster holds at most 200 receivers, each address
// once; the master index is a record or "none left"; a receiver that gave up
// keeps its code; and once the transfer has ended the host has been told,
// with GetErrInfo naming every receiver that did not finish.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz_check.h"
#include "protocol/blocks.h"
#include "protocol/packets.h"
#include "sender/sender_core.h"

namespace {

using namespace tivlo;
using protocol::Ms;

constexpr size_t kMaxSteps = 512;
const uint64_t kLengths[] = {3 * 4254 + 17, 0, 2 * 4254};

struct Harness : sender::SenderIo, protocol::HostSink {
    bool Send(const uint8_t*, size_t, const platform::Endpoint&) override { return true; }
    bool SendReport(const uint8_t*, size_t) override { return true; }
    void CloseSockets() override {}
    int64_t FileLength(uint32_t file) override { return file >= 1 && file <= 3 ? int64_t(kLengths[file - 1]) : -1; }
    bool OpenFile(sender::Reader, uint32_t file) override { return file >= 1 && file <= 3; }
    size_t ReadFile(sender::Reader, uint64_t, uint8_t* out, size_t length) override {
        std::fill(out, out + length, uint8_t(7));
        return length;
    }
    void CloseFile(sender::Reader) override {}
    void Started(uint32_t, uint32_t) override {}
    void Ended(uint32_t, intptr_t, bool final) override { told |= final; }
    void CurrentFile(const std::u16string&) override {}
    void ClientDiskFull(uint32_t) override {}
    bool told = false;
};

void RunUntil(sender::SenderCore& core, protocol::Time* now, protocol::Time until) {
    while (core.NextWake() <= until) {
        *now = std::max(*now, core.NextWake());
        core.OnTick(*now);
    }
    *now = until;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness io;
    sender::SenderCore core(io, io);
    auto list = std::make_shared<sender::TransferList>();
    for (const char16_t* name : {u"\\a.bin", u"\\sub\\b.bin", u"\\c.bin"})
        list->files.push_back({u"", name, protocol::WideNameField(name)});
    protocol::Time now = 0;
    core.Open(now, {protocol::IPv4(239, 77, 13, 2), 27001}, 1);
    // Receivers join while the Collects go out; the stream runs at a rate.
    size_t pos = 0;
    for (size_t step = 0; step < kMaxSteps && pos + 4 <= size; ++step) {
        const platform::Endpoint from{protocol::IPv4(127, 0, data[pos], data[pos + 1]), 27001};
        RunUntil(core, &now, now + Ms(data[pos + 2]));
        if (step == 8) core.StartSend(now, list, 0xFFFFFFFFu, protocol::WideNameField(u"/in"), 1000000);
        const size_t length = std::min<size_t>(data[pos + 3], size - pos - 4);
        pos += 4;
        core.OnAnswer(now, from, data + pos, std::min(length, protocol::kAnswerReadSize));
        pos += length;

        const sender::Roster& roster = core.roster();
        CHECK(roster.count() >= 0 && roster.count() <= sender::Roster::kCapacity);
        for (int32_t i = 0; i < roster.count(); ++i) {
            for (int32_t j = i + 1; j < roster.count(); ++j) CHECK(roster[i].address.addr != roster[j].address.addr);
            if (roster[i].gaveUp) CHECK(roster[i].errorCode == 112);
        }
    }
    // Left alone, every transfer ends, and the host learns who failed.
    RunUntil(core, &now, now + Ms(600000));
    if (core.Transferring() || core.Finished()) {
        CHECK(io.told);
        const sender::Roster& roster = core.roster();
        for (int32_t i = 0; i < roster.count(); ++i)
            CHECK(roster[i].errorCode != 0 || roster[i].finished || (roster[i].done && roster[i].missed == 0));
    }
    return 0;
}
