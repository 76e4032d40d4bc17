// Byte layouts of the control packets, the Task and the Empty directories
// packet, and the decoders' refusal of datagrams that are too short or not
// theirs.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "protocol/corpus.h"
#include "protocol/heap_datagram.h"
#include "protocol/packets.h"

namespace tivlo::protocol {
namespace {

using testing::HeapDatagram;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kFill = 0xEE;  // what an encoder must not leave behind, nor write past its length

Bytes LE32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

Bytes Utf16(const std::u16string& s) {
    Bytes out;
    for (char16_t c : s) {
        out.push_back(uint8_t(c));
        out.push_back(uint8_t(c >> 8));
    }
    return out;
}

// ---- Control packets: exact bytes, nothing written past the length, and
// the decoder reading each field back from its offset ----

struct ControlCase {
    std::string name;
    std::function<size_t(uint8_t*)> encode;
    Bytes wire;
    std::function<void(Datagram)> checkDecoded;
};

class ControlPacket : public ::testing::TestWithParam<ControlCase> {};

TEST_P(ControlPacket, EncodesExactBytesAndDecodesThem) {
    const ControlCase& c = GetParam();
    Bytes buffer(64, kFill);
    size_t length = c.encode(buffer.data());
    ASSERT_EQ(length, c.wire.size());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), c.wire);
    for (size_t i = length; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], kFill) << "byte " << i;

    HeapDatagram received(c.wire);
    c.checkDecoded(received.span());
}

const ControlCase kControlCases[] = {
    {"Collect", [](uint8_t* o) { return EncodeCollect(o); }, {0x91, 0x02, 1},
     [](Datagram d) { EXPECT_TRUE(IsCollect(d)); }},
    {"JoinWide", [](uint8_t* o) { return EncodeJoin({1}, o); }, {0x91, 0x02, 2, 1},
     [](Datagram d) { EXPECT_EQ(DecodeJoin(d).value().wide, 1); }},
    {"JoinNarrow", [](uint8_t* o) { return EncodeJoin({0}, o); }, {0x91, 0x02, 2, 0},
     [](Datagram d) { EXPECT_EQ(DecodeJoin(d).value().wide, 0); }},
    {"Poll", [](uint8_t* o) { return EncodePoll({0x0A0B0C0D}, o); }, {0x91, 0x02, 3, 0x0D, 0x0C, 0x0B, 0x0A},
     [](Datagram d) { EXPECT_EQ(DecodePoll(d).value().turn, 0x0A0B0C0Du); }},
    {"PollTurnOne", [](uint8_t* o) { return EncodePoll({1}, o); }, {0x91, 0x02, 3, 1, 0, 0, 0},
     [](Datagram d) { EXPECT_EQ(DecodePoll(d).value().turn, 1u); }},
    {"HoldComplete", [](uint8_t* o) { return EncodeHold({1, 0}, o); }, {0x91, 0x02, 4, 1, 0},
     [](Datagram d) {
         Hold h = DecodeHold(d).value();
         EXPECT_EQ(h.complete, 1);
         EXPECT_EQ(h.unicastPhase, 0);
     }},
    {"HoldUnicastPhase", [](uint8_t* o) { return EncodeHold({0, 1}, o); }, {0x91, 0x02, 4, 0, 1},
     [](Datagram d) {
         Hold h = DecodeHold(d).value();
         EXPECT_EQ(h.complete, 0);
         EXPECT_EQ(h.unicastPhase, 1);
     }},
    {"Ack", [](uint8_t* o) { return EncodeAck({0x01020304, 0xA0B0C0D0}, o); },
     {0x91, 0x02, 5, 0x04, 0x03, 0x02, 0x01, 0xD0, 0xC0, 0xB0, 0xA0},
     [](Datagram d) {
         Ack a = DecodeAck(d).value();
         EXPECT_EQ(a.file, 0x01020304u);
         EXPECT_EQ(a.block, 0xA0B0C0D0u);
     }},
    {"FinishGiveUp", [](uint8_t* o) { return EncodeFinish({1}, o); }, {0x91, 0x02, 8, 1},
     [](Datagram d) { EXPECT_EQ(DecodeFinish(d).value().code, 1); }},
    {"Stop", [](uint8_t* o) { return EncodeStop(o); }, {0x91, 0x02, 9},
     [](Datagram d) { EXPECT_TRUE(IsStop(d)); }},
    {"Answer", [](uint8_t* o) { return EncodeAnswer({0x12345678}, o); }, {0x91, 0x02, 12, 0x78, 0x56, 0x34, 0x12},
     [](Datagram d) { EXPECT_EQ(DecodeAnswer(d).value().missing, 0x12345678u); }},
    {"ServerOsNarrow", [](uint8_t* o) { return EncodeServerOs({0}, o); }, {0x91, 0x02, 13, 0},
     [](Datagram d) { EXPECT_EQ(DecodeServerOs(d).value().wide, 0); }},
    {"Report", [](uint8_t* o) { return EncodeReport(o); }, {0x91, 0x02, 14, 0, 0, 0, 0},
     [](Datagram d) { EXPECT_TRUE(IsReport(d)); }},
};

INSTANTIATE_TEST_SUITE_P(Wire, ControlPacket, ::testing::ValuesIn(kControlCases),
                         [](const auto& info) { return info.param.name; });

// ---- Task ----

TEST(TaskPacket, LayoutWithAFiveCharacterPath) {
    Bytes buffer(kMaxDatagram, kFill);
    Task task{0x00010203, 7, 0xFFFFFFFF, WideNameField(u"C:\\tv")};
    ASSERT_EQ(EncodeTask(task, buffer.data()), 539u);

    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 3), (Bytes{0x91, 0x02, 6}));
    EXPECT_EQ(Bytes(buffer.begin() + 3, buffer.begin() + 7), LE32(0x00010203));
    EXPECT_EQ(Bytes(buffer.begin() + 7, buffer.begin() + 11), LE32(7));
    EXPECT_EQ(Bytes(buffer.begin() + 11, buffer.begin() + 15), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    // Five UTF-16 characters and the terminator: 12 bytes from offset 15.
    Bytes path = Utf16(u"C:\\tv");
    path.push_back(0);
    path.push_back(0);
    EXPECT_EQ(Bytes(buffer.begin() + 15, buffer.begin() + 27), path);
    for (size_t i = 27; i <= 534; ++i) ASSERT_EQ(buffer[i], 0) << "byte " << i;
    EXPECT_EQ(Bytes(buffer.begin() + 535, buffer.begin() + 539), LE32(6));
    EXPECT_EQ(buffer[539], kFill);

    HeapDatagram received(buffer.data(), 539);
    Task decoded = DecodeTask(received.span()).value();
    EXPECT_EQ(decoded.totalBlocks, 0x00010203u);
    EXPECT_EQ(decoded.fileCount, 7u);
    EXPECT_EQ(decoded.mode, 0xFFFFFFFFu);
    EXPECT_EQ(decoded.path.count, 6u);
    EXPECT_EQ(ReadWideName(decoded.path.bytes.data(), decoded.path.count), u"C:\\tv");
}

TEST(TaskPacket, NarrowPathAndAFieldFilledByHand) {
    Bytes buffer(kMaxDatagram, kFill);
    ASSERT_EQ(EncodeTask({1, 1, 5, NarrowNameField("D:\\in")}, buffer.data()), task::kSize);
    EXPECT_EQ(std::string(buffer.begin() + 15, buffer.begin() + 20), "D:\\in");
    for (size_t i = 20; i <= 534; ++i) ASSERT_EQ(buffer[i], 0) << "byte " << i;
    EXPECT_EQ(Bytes(buffer.begin() + 535, buffer.begin() + 539), LE32(6));

    // A field built without its used length goes out whole.
    Task byHand;
    byHand.path.bytes.fill(0x41);
    byHand.path.count = 9;
    std::fill(buffer.begin(), buffer.end(), kFill);
    EncodeTask(byHand, buffer.data());
    for (size_t i = 15; i < 535; ++i) ASSERT_EQ(buffer[i], 0x41) << "byte " << i;
    EXPECT_EQ(Bytes(buffer.begin() + 535, buffer.begin() + 539), LE32(9));
}

// ---- Empty directories ----

std::vector<NameField> Directories(size_t n) {
    std::vector<NameField> entries;
    for (size_t i = 0; i < n; ++i) entries.push_back(WideNameField(u"\\dir" + std::u16string(i % 7 + 1, u'x')));
    return entries;
}

TEST(EmptyDirectoriesPacket, FortyEntriesFillTheLargestDatagram) {
    Bytes buffer(kMaxDatagram + 16, kFill);
    auto entries = Directories(40);
    ASSERT_EQ(EncodeEmptyDirectories(entries, buffer.data()), 20967u);
    EXPECT_EQ(buffer[20967], kFill);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 7), (Bytes{0x91, 0x02, 10, 40, 0, 0, 0}));
    for (size_t i = 0; i < 40; ++i) {
        size_t at = 7 + 524 * i;
        std::u16string name = u"\\dir" + std::u16string(i % 7 + 1, u'x');
        Bytes expected = Utf16(name);
        expected.resize(520, 0);  // terminator and a zeroed tail
        ASSERT_EQ(Bytes(buffer.begin() + at, buffer.begin() + at + 520), expected) << "entry " << i;
        ASSERT_EQ(Bytes(buffer.begin() + at + 520, buffer.begin() + at + 524), LE32(uint32_t(name.size() + 1)))
            << "entry " << i;
    }

    HeapDatagram received(buffer.data(), 20967);
    EmptyDirectories decoded = DecodeEmptyDirectories(received.span()).value();
    EXPECT_EQ(decoded.count, 40);
    ASSERT_EQ(decoded.names.size(), 40u);
    ASSERT_EQ(decoded.counts.size(), 40u);
    EXPECT_EQ(ReadWideName(decoded.names[39], decoded.counts[39]), u"\\dir" + std::u16string(39 % 7 + 1, u'x'));
}

TEST(EmptyDirectoriesPacket, EncoderWritesAtMostFortyEntries) {
    Bytes buffer(kMaxDatagram + 600, kFill);
    EXPECT_EQ(EncodeEmptyDirectories(Directories(41), buffer.data()), kMaxDatagram);
    EXPECT_EQ(Bytes(buffer.begin() + 3, buffer.begin() + 7), LE32(40));
    EXPECT_EQ(buffer[kMaxDatagram], kFill);

    std::fill(buffer.begin(), buffer.end(), kFill);
    EXPECT_EQ(EncodeEmptyDirectories(Directories(1), buffer.data()), 531u);
    EXPECT_EQ(Bytes(buffer.begin() + 3, buffer.begin() + 7), LE32(1));
    EXPECT_EQ(buffer[531], kFill);
}

// Builds a type-10 datagram of `length` bytes whose count field says
// `count`, with every entry slot that fits holding a distinct name.
Bytes RawEmptyDirectories(uint32_t count, size_t length) {
    Bytes d(length, 0);
    d[0] = 0x91;
    d[1] = 0x02;
    d[2] = 10;
    Bytes c = LE32(count);
    std::copy(c.begin(), c.end(), d.begin() + 3);
    for (size_t i = 0; 7 + 524 * (i + 1) <= length; ++i) {
        size_t at = 7 + 524 * i;
        d[at] = uint8_t('a' + i % 26);
        Bytes n = LE32(2);
        std::copy(n.begin(), n.end(), d.begin() + at + 520);
    }
    return d;
}

struct EntriesCase {
    const char* name;
    uint32_t count;
    size_t length;
    size_t expectedEntries;
};

class EmptyDirectoriesDecode : public ::testing::TestWithParam<EntriesCase> {};

TEST_P(EmptyDirectoriesDecode, ReturnsOnlyEntriesPresentAndAnnounced) {
    const EntriesCase& c = GetParam();
    HeapDatagram received(RawEmptyDirectories(c.count, c.length));
    auto decoded = DecodeEmptyDirectories(received.span());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->count, int32_t(c.count));
    ASSERT_EQ(decoded->names.size(), c.expectedEntries);
    ASSERT_EQ(decoded->counts.size(), c.expectedEntries);
    for (size_t i = 0; i < c.expectedEntries; ++i) {
        EXPECT_EQ(decoded->names[i], received.span().data() + 7 + 524 * i);
        EXPECT_EQ(decoded->counts[i], 2u);
        EXPECT_EQ(ReadNarrowName(decoded->names[i], decoded->counts[i]), std::string(1, char('a' + i % 26)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Wire, EmptyDirectoriesDecode,
    ::testing::Values(EntriesCase{"HeadOnly", 3, 7, 0},
                      EntriesCase{"CountBeyondDatagram", 3, 7 + 524 * 2, 2},
                      EntriesCase{"LastEntryCut", 3, 7 + 524 * 3 - 1, 2},
                      EntriesCase{"CountBelowEntries", 2, 7 + 524 * 5, 2},
                      EntriesCase{"NegativeCount", 0xFFFFFFFF, 7 + 524 * 2, 0},
                      EntriesCase{"ZeroCount", 0, 7 + 524, 0},
                      EntriesCase{"MoreThanForty", 45, 7 + 524 * 45, 40}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Decoders refuse what is not theirs ----

struct DecoderCase {
    const char* name;
    std::vector<uint8_t> types;  // the type bytes the decoder accepts
    size_t fixedPart;
    bool accepts(Datagram d) const { return testing::DecoderAccepts(types[0], d); }
};

class Decoder : public ::testing::TestWithParam<DecoderCase> {};

Bytes Valid(uint8_t type, size_t length) {
    Bytes d(length, 0);
    d[0] = 0x91;
    d[1] = 0x02;
    d[2] = type;
    return d;
}

TEST_P(Decoder, RefusesEveryLengthBelowTheFixedPart) {
    const DecoderCase& c = GetParam();
    for (uint8_t type : c.types) {
        Bytes whole = Valid(type, c.fixedPart);
        for (size_t length = 0; length < c.fixedPart; ++length) {
            HeapDatagram received(whole.data(), length);
            EXPECT_FALSE(c.accepts(received.span())) << "type " << int(type) << ", " << length << " bytes";
        }
        HeapDatagram exact(whole);
        EXPECT_TRUE(c.accepts(exact.span())) << "type " << int(type);
        // Longer datagrams are fine: the sender reads answers 11 bytes at a time.
        HeapDatagram longer(Valid(type, c.fixedPart + 4));
        EXPECT_TRUE(c.accepts(longer.span())) << "type " << int(type);
    }
}

TEST_P(Decoder, RefusesOtherTypesAndAWrongMagic) {
    const DecoderCase& c = GetParam();
    for (int type = 0; type < 256; ++type) {
        bool own = std::find(c.types.begin(), c.types.end(), uint8_t(type)) != c.types.end();
        HeapDatagram received(Valid(uint8_t(type), c.fixedPart));
        EXPECT_EQ(c.accepts(received.span()), own) << "type " << type;
    }
    for (auto magic : {Bytes{0x02, 0x91}, Bytes{0x91, 0x00}, Bytes{0x00, 0x02}}) {
        Bytes d = Valid(c.types[0], c.fixedPart);
        d[0] = magic[0];
        d[1] = magic[1];
        HeapDatagram received(d);
        EXPECT_FALSE(c.accepts(received.span()));
    }
}

const DecoderCase kDecoderCases[] = {
    {"Collect", {kCollect}, 3},  {"Join", {kJoin}, 4},       {"Poll", {kPoll}, 7},
    {"Hold", {kHold}, 5},        {"Ack", {kAck}, 11},        {"Task", {kTask}, 539},
    {"Block", {kRepairBlock, kDataBlock}, 542},              {"Finish", {kFinish}, 4},
    {"Stop", {kStop}, 3},        {"EmptyDirectories", {kEmptyDirectories}, 7},
    {"Answer", {kAnswer}, 7},    {"ServerOs", {kServerOs}, 4}, {"Report", {kReport}, 7},
};

INSTANTIATE_TEST_SUITE_P(Wire, Decoder, ::testing::ValuesIn(kDecoderCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tivlo::protocol
