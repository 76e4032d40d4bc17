// Name fields in both encodings, block arithmetic, and Data and Repair block
// packets built in place in one reused buffer.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "protocol/blocks.h"
#include "protocol/heap_datagram.h"
#include "protocol/packets.h"

namespace tivlo::protocol {
namespace {

using testing::HeapDatagram;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kFill = 0xEE;

Bytes At(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + from, b.begin() + from + n); }
Bytes LE32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

std::u16string Units(size_t n) {
    std::u16string s;
    for (size_t i = 0; i < n; ++i) s.push_back(char16_t(u'A' + i % 26));
    return s;
}

// ---- Name fields ----

TEST(NameField, WideUnitsAreLittleEndianWithTerminator) {
    NameField f = WideNameField(u"\\\u00e9\u4e2d");
    EXPECT_EQ(f.count, 4u);
    EXPECT_EQ(At(Bytes(f.bytes.begin(), f.bytes.end()), 0, 8), (Bytes{0x5C, 0, 0xE9, 0, 0x2D, 0x4E, 0, 0}));
    EXPECT_EQ(ReadWideName(f.bytes.data(), f.count), u"\\\u00e9\u4e2d");

    NameField empty = WideNameField(u"");
    EXPECT_EQ(empty.count, 1u);
    EXPECT_EQ(ReadWideName(empty.bytes.data(), empty.count), u"");
}

struct WideLengthCase {
    size_t units;          // length of the name given
    uint32_t count;        // count on the wire
    size_t unitsKept;      // units that read back
    bool terminated;       // the field holds a terminator
};

class WideNameLength : public ::testing::TestWithParam<WideLengthCase> {};

TEST_P(WideNameLength, CutToTheField) {
    const WideLengthCase& c = GetParam();
    std::u16string name = Units(c.units);
    NameField f = WideNameField(name);
    EXPECT_EQ(f.count, c.count);
    EXPECT_EQ(ReadWideName(f.bytes.data(), f.count), name.substr(0, c.unitsKept));
    // The last unit written sits right before the terminator or the field's end.
    size_t last = 2 * (c.unitsKept - 1);
    EXPECT_EQ(f.bytes[last], uint8_t(name[c.unitsKept - 1]));
    if (c.terminated) {
        EXPECT_EQ(f.bytes[last + 2], 0);
        EXPECT_EQ(f.bytes[last + 3], 0);
    } else {
        EXPECT_EQ(last + 2, kNameFieldBytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Wire, WideNameLength,
                         ::testing::Values(WideLengthCase{1, 2, 1, true}, WideLengthCase{259, 260, 259, true},
                                           WideLengthCase{260, 261, 260, false},
                                           WideLengthCase{261, 261, 260, false},
                                           WideLengthCase{1000, 261, 260, false}));

TEST(NameField, NarrowIsBytesAndNulCutTo519) {
    NameField f = NarrowNameField("\\docs\\a.txt");
    EXPECT_EQ(f.count, 12u);
    EXPECT_EQ(std::string(f.bytes.begin(), f.bytes.begin() + 12), std::string("\\docs\\a.txt", 12));
    EXPECT_EQ(ReadNarrowName(f.bytes.data(), f.count), "\\docs\\a.txt");

    // A byte above 127 stays the byte it was.
    NameField high = NarrowNameField("\\caf\xe9");
    EXPECT_EQ(high.bytes[4], 0xE9);
    EXPECT_EQ(ReadNarrowName(high.bytes.data(), high.count), "\\caf\xe9");

    for (size_t length : {519u, 520u, 800u}) {
        NameField longName = NarrowNameField(std::string(length, 'n'));
        EXPECT_EQ(longName.count, 520u) << length;
        EXPECT_EQ(longName.bytes[518], 'n') << length;
        EXPECT_EQ(longName.bytes[519], 0) << length;
    }
}

TEST(NameField, ReadersClampOversizedCountsToTheField) {
    // Exactly 520 bytes on the heap, no NUL anywhere: a reader that trusted
    // the count would run off the end.
    HeapDatagram wide(Bytes(kNameFieldBytes, 0x41));
    for (uint32_t count : {261u, 520u, 0x7FFFFFFFu, 0xFFFFFFFFu})
        EXPECT_EQ(ReadWideName(wide.span().data(), count), std::u16string(260, u'\x4141')) << count;

    HeapDatagram narrow(Bytes(kNameFieldBytes, 'z'));
    for (uint32_t count : {261u, 520u, 0xFFFFFFFFu})
        EXPECT_EQ(ReadNarrowName(narrow.span().data(), count), std::string(260, 'z')) << count;

    EXPECT_EQ(ReadWideName(wide.span().data(), 0), u"");
    EXPECT_EQ(ReadNarrowName(narrow.span().data(), 0), "");
    // A count shorter than the text takes only its first characters.
    EXPECT_EQ(ReadNarrowName(narrow.span().data(), 3), "zzz");
    EXPECT_EQ(ReadWideName(wide.span().data(), 3), std::u16string(3, u'\x4141'));
}

// ---- Block arithmetic ----

struct BlockCase {
    uint64_t length;
    std::optional<uint32_t> lastIndex;
    uint16_t lastLength;
    uint64_t count;
};

class BlockArithmetic : public ::testing::TestWithParam<BlockCase> {};

TEST_P(BlockArithmetic, CutsTheFile) {
    const BlockCase& c = GetParam();
    EXPECT_EQ(LastBlockIndex(c.length), c.lastIndex);
    EXPECT_EQ(LastBlockLength(c.length), c.lastLength);
    EXPECT_EQ(BlockCount(c.length), c.count);
    if (c.lastIndex) {
        // The last block starts where the full ones end and covers the rest.
        EXPECT_EQ(BlockOffset(*c.lastIndex) + BlockDataLength(*c.lastIndex, *c.lastIndex, c.lastLength), c.length);
        if (*c.lastIndex > 0) {
            EXPECT_EQ(BlockDataLength(*c.lastIndex - 1, *c.lastIndex, c.lastLength), 4254u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Wire, BlockArithmetic,
    ::testing::Values(BlockCase{0, 0u, 0, 1}, BlockCase{1, 0u, 1, 1}, BlockCase{4253, 0u, 4253, 1},
                      BlockCase{4254, 1u, 0, 2}, BlockCase{2 * 4254, 2u, 0, 3}, BlockCase{10000, 2u, 1492, 3},
                      BlockCase{5ull << 30, 1262037u, 3722, 1262038},
                      BlockCase{4294967295ull * 4254 + 4253, 4294967295u, 4253, 4294967296ull},
                      BlockCase{4294967296ull * 4254, std::nullopt, 0, 4294967297ull}));

// ---- Data and Repair blocks ----

// Streams a file of `length` bytes through one reused packet buffer, as the
// sender does, and returns the datagrams.
std::vector<Bytes> StreamFile(uint64_t length, uint32_t file, const NameField& name) {
    Bytes packet(kMaxBlockPacket, kFill);
    WriteBlockHeader(packet.data(), kDataBlock);
    uint32_t last = LastBlockIndex(length).value();
    uint16_t lastLength = LastBlockLength(length);
    WriteBlockFile(packet.data(), last, lastLength, name);
    std::vector<Bytes> datagrams;
    for (uint32_t block = 0; block <= last; ++block) {
        WriteBlockPosition(packet.data(), file, block);
        uint32_t data = BlockDataLength(block, last, lastLength);
        for (uint32_t i = 0; i < data; ++i) packet[kBlockHeadSize + i] = uint8_t(block * 7 + i);
        datagrams.emplace_back(packet.begin(), packet.begin() + kBlockHeadSize + data);
    }
    return datagrams;
}

TEST(BlockPacket, EmptyFileIsOneBareHead) {
    NameField name = WideNameField(u"\\empty.txt");
    auto datagrams = StreamFile(0, 3, name);
    ASSERT_EQ(datagrams.size(), 1u);
    const Bytes& d = datagrams[0];
    ASSERT_EQ(d.size(), 542u);
    EXPECT_EQ(At(d, 0, 3), (Bytes{0x91, 0x02, 11}));
    EXPECT_EQ(At(d, 3, 4), LE32(3));
    EXPECT_EQ(At(d, 7, 4), LE32(0));
    EXPECT_EQ(At(d, 11, 4), LE32(0));
    EXPECT_EQ(d[15], 1);
    EXPECT_EQ(At(d, 16, 2), (Bytes{0, 0}));
    EXPECT_EQ(At(d, 18, 22), Bytes(name.bytes.begin(), name.bytes.begin() + 22));
    EXPECT_EQ(At(d, 538, 4), LE32(11));

    HeapDatagram received(d);
    Block b = DecodeBlock(received.span()).value();
    EXPECT_EQ(b.type, kDataBlock);
    EXPECT_EQ(b.file, 3u);
    EXPECT_EQ(b.block, 0u);
    EXPECT_EQ(b.lastIndex, 0u);
    EXPECT_EQ(b.streamFlag, 1);
    EXPECT_EQ(b.lastLength, 0);
    EXPECT_TRUE(b.data.empty());
    EXPECT_EQ(ReadWideName(b.name, b.nameCount), u"\\empty.txt");
}

struct StreamCase {
    uint64_t length;
    std::vector<uint32_t> dataPerBlock;
    Bytes lastIndexField;   // offset 11
    Bytes lastLengthField;  // offset 16
};

class BlockStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(BlockStream, BlocksCarryTheFileInOrder) {
    const StreamCase& c = GetParam();
    auto datagrams = StreamFile(c.length, 0x0102, NarrowNameField("\\f.bin"));
    ASSERT_EQ(datagrams.size(), c.dataPerBlock.size());
    for (uint32_t block = 0; block < datagrams.size(); ++block) {
        const Bytes& d = datagrams[block];
        EXPECT_EQ(d.size(), 542 + c.dataPerBlock[block]) << "block " << block;
        EXPECT_EQ(At(d, 3, 4), (Bytes{0x02, 0x01, 0, 0}));
        EXPECT_EQ(At(d, 7, 4), LE32(block));
        EXPECT_EQ(At(d, 11, 4), c.lastIndexField);
        EXPECT_EQ(At(d, 16, 2), c.lastLengthField);

        HeapDatagram received(d);
        Block b = DecodeBlock(received.span()).value();
        EXPECT_EQ(b.block, block);
        ASSERT_EQ(b.data.size(), c.dataPerBlock[block]);
        if (!b.data.empty()) {
            EXPECT_EQ(b.data.front(), uint8_t(block * 7));
            EXPECT_EQ(b.data.back(), uint8_t(block * 7 + b.data.size() - 1));
        }
        EXPECT_EQ(ReadNarrowName(b.name, b.nameCount), "\\f.bin");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Wire, BlockStream,
    ::testing::Values(StreamCase{2 * 4254, {4254, 4254, 0}, {2, 0, 0, 0}, {0, 0}},
                      StreamCase{10000, {4254, 4254, 1492}, {2, 0, 0, 0}, {0xD4, 0x05}},
                      StreamCase{4253, {4253}, {0, 0, 0, 0}, {0x9D, 0x10}}));

TEST(BlockPacket, ReusedBufferKeepsTheTailOfALongerName) {
    Bytes packet(kMaxBlockPacket, kFill);
    WriteBlockHeader(packet.data(), kDataBlock);
    NameField longer = WideNameField(u"\\a-rather-long-directory\\first.txt");
    WriteBlockFile(packet.data(), 0, 5, longer);
    WriteBlockPosition(packet.data(), 1, 0);
    Bytes first = At(packet, 18, 520);

    NameField shorter = WideNameField(u"\\b.txt");
    WriteBlockFile(packet.data(), 4, 9, shorter);
    WriteBlockPosition(packet.data(), 2, 4);
    // The new name and its terminator, then the old name's bytes as they were.
    EXPECT_EQ(At(packet, 18, 14), Bytes(shorter.bytes.begin(), shorter.bytes.begin() + 14));
    EXPECT_EQ(At(packet, 32, 506), Bytes(first.begin() + 14, first.end()));
    EXPECT_NE(packet[32], 0);  // the stale tail is really there
    EXPECT_EQ(At(packet, 538, 4), LE32(7));
    EXPECT_EQ(At(packet, 3, 4), LE32(2));
    EXPECT_EQ(At(packet, 7, 4), LE32(4));
    EXPECT_EQ(At(packet, 11, 4), LE32(4));
    EXPECT_EQ(At(packet, 16, 2), (Bytes{9, 0}));

    HeapDatagram received(packet.data(), 542 + 9);
    Block b = DecodeBlock(received.span()).value();
    EXPECT_EQ(ReadWideName(b.name, b.nameCount), u"\\b.txt");
    // Even a count that reaches into the stale tail stops at the terminator.
    EXPECT_EQ(ReadWideName(b.name, 30), u"\\b.txt");
}

TEST(BlockPacket, RepairBlockClearsTheStreamFlag) {
    Bytes packet(kMaxBlockPacket, kFill);
    WriteBlockHeader(packet.data(), kDataBlock);
    EXPECT_EQ(packet[15], 1);
    WriteBlockHeader(packet.data(), kRepairBlock);
    EXPECT_EQ(At(packet, 0, 3), (Bytes{0x91, 0x02, 7}));
    EXPECT_EQ(packet[15], 0);
    WriteBlockFile(packet.data(), 0xA1B2C3D4, 0x0F0E, WideNameField(u"\\r"));
    WriteBlockPosition(packet.data(), 0x11223344, 0x55667788);
    EXPECT_EQ(At(packet, 3, 4), (Bytes{0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(At(packet, 7, 4), (Bytes{0x88, 0x77, 0x66, 0x55}));
    EXPECT_EQ(At(packet, 11, 4), (Bytes{0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(At(packet, 16, 2), (Bytes{0x0E, 0x0F}));

    HeapDatagram received(packet.data(), kMaxBlockPacket);
    Block b = DecodeBlock(received.span()).value();
    EXPECT_EQ(b.type, kRepairBlock);
    EXPECT_EQ(b.streamFlag, 0);
    EXPECT_EQ(b.file, 0x11223344u);
    EXPECT_EQ(b.block, 0x55667788u);
    EXPECT_EQ(b.lastIndex, 0xA1B2C3D4u);
    EXPECT_EQ(b.lastLength, 0x0F0E);
    EXPECT_EQ(b.data.size(), kBlockSize);
    EXPECT_EQ(b.data.data(), received.span().data() + 542);
}

TEST(BlockPacket, OversizedNameCountInABareHead) {
    // A 542-byte head whose name field holds no NUL and whose count is huge.
    Bytes d(542, 0x42);
    d[0] = 0x91;
    d[1] = 0x02;
    d[2] = 11;
    for (size_t i = 538; i < 542; ++i) d[i] = 0xFF;
    HeapDatagram received(d);
    Block b = DecodeBlock(received.span()).value();
    EXPECT_EQ(b.nameCount, 0xFFFFFFFFu);
    EXPECT_EQ(ReadWideName(b.name, b.nameCount).size(), 260u);
    EXPECT_EQ(ReadNarrowName(b.name, b.nameCount), std::string(260, 'B'));
    EXPECT_TRUE(b.data.empty());
}

}  // namespace
}  // namespace tivlo::protocol
