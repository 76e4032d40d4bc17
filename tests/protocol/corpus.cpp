#include "protocol/corpus.h"

#include "protocol/blocks.h"
#include "protocol/packets.h"

namespace tivlo::protocol::testing {

namespace {

template <typename Encode>
SeedDatagram Seed(std::string file, Encode encode) {
    std::vector<uint8_t> buffer(kMaxDatagram);
    buffer.resize(encode(buffer.data()));
    return {std::move(file), std::move(buffer)};
}

// The last block of a 4264-byte file: block 1 carrying 10 bytes.
SeedDatagram BlockSeed(std::string file, PacketType type) {
    std::vector<uint8_t> packet(kMaxBlockPacket);
    const uint64_t length = kBlockSize + 10;
    WriteBlockHeader(packet.data(), type);
    WriteBlockFile(packet.data(), *LastBlockIndex(length), LastBlockLength(length),
                   WideNameField(u"\\docs\\a.txt"));
    WriteBlockPosition(packet.data(), 1, 1);
    for (uint16_t i = 0; i < LastBlockLength(length); ++i) packet[kBlockHeadSize + i] = uint8_t('a' + i);
    packet.resize(kBlockHeadSize + LastBlockLength(length));
    return {std::move(file), std::move(packet)};
}

}  // namespace

std::vector<SeedDatagram> SeedDatagrams() {
    return {
        Seed("01-collect.bin", [](uint8_t* out) { return EncodeCollect(out); }),
        Seed("02-join.bin", [](uint8_t* out) { return EncodeJoin(Join{1}, out); }),
        Seed("03-poll.bin", [](uint8_t* out) { return EncodePoll(Poll{1}, out); }),
        Seed("04-hold.bin", [](uint8_t* out) { return EncodeHold(Hold{0, 1}, out); }),
        Seed("05-ack.bin", [](uint8_t* out) { return EncodeAck(Ack{2, 7}, out); }),
        Seed("06-task.bin",
             [](uint8_t* out) { return EncodeTask(Task{5, 2, 0xFFFFFFFF, WideNameField(u"D:\\Incoming")}, out); }),
        BlockSeed("07-repair-block.bin", kRepairBlock),
        Seed("08-finish.bin", [](uint8_t* out) { return EncodeFinish(Finish{0}, out); }),
        Seed("09-stop.bin", [](uint8_t* out) { return EncodeStop(out); }),
        Seed("10-empty-directories.bin",
             [](uint8_t* out) { return EncodeEmptyDirectories({WideNameField(u"\\docs\\empty")}, out); }),
        BlockSeed("11-data-block.bin", kDataBlock),
        Seed("12-answer.bin", [](uint8_t* out) { return EncodeAnswer(Answer{3}, out); }),
        Seed("13-server-os.bin", [](uint8_t* out) { return EncodeServerOs(ServerOs{1}, out); }),
        Seed("14-report.bin", [](uint8_t* out) { return EncodeReport(out); }),
    };
}

bool DecoderAccepts(uint8_t type, Datagram d) {
    switch (type) {
        case kCollect: return IsCollect(d);
        case kJoin: return DecodeJoin(d).has_value();
        case kPoll: return DecodePoll(d).has_value();
        case kHold: return DecodeHold(d).has_value();
        case kAck: return DecodeAck(d).has_value();
        case kTask: return DecodeTask(d).has_value();
        case kRepairBlock:
        case kDataBlock: return DecodeBlock(d).has_value();
        case kFinish: return DecodeFinish(d).has_value();
        case kStop: return IsStop(d);
        case kEmptyDirectories: return DecodeEmptyDirectories(d).has_value();
        case kAnswer: return DecodeAnswer(d).has_value();
        case kServerOs: return DecodeServerOs(d).has_value();
        case kReport: return IsReport(d);
    }
    return false;
}

}  // namespace tivlo::protocol::testing
