// Wire layouts byte for byte, the decoders' refusals, name fields in both
// encodings and block arithmetic. Decoders read copies that fill their heap
// block exactly, so the address sanitizer sees any read past a datagram.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <sstream>

#include "protocol/blocks.h"
#include "protocol/packets.h"

namespace tivlo::protocol {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kFill = 0xEE;  // what an encoder must neither leave in a field nor write past its end

// Hex bytes separated by blanks; "hh*n" is the byte hh n times.
Bytes Hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    for (std::string t; in >> t;) {
        const size_t star = t.find('*'), times = star == std::string::npos ? 1 : std::stoul(t.substr(star + 1));
        for (size_t i = 0; i < std::min(star, t.size()); i += 2)
            out.insert(out.end(), times, uint8_t(std::stoul(t.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// The datagram an encoder writes; none when it wrote past its end.
Bytes Encoded(const std::function<size_t(uint8_t*)>& encode) {
    Bytes out(kMaxDatagram + 600, kFill);
    const size_t n = encode(out.data());
    out.resize(std::count(out.begin() + n, out.end(), kFill) == long(out.size() - n) ? n : 0);
    return out;
}
// The same, of one packet's fields.
template <class P> Bytes Encoded(size_t (*encode)(const P&, uint8_t*), const std::type_identity_t<P>& p) {
    return Encoded([&](uint8_t* o) { return encode(p, o); });
}

// A block packet built in place in a buffer that an earlier name filled.
Bytes BlockPacket(PacketType type, uint32_t file, uint32_t block, uint32_t last, uint16_t lastLength,
                  const NameField& name, size_t data) {
    Bytes p(kMaxBlockPacket, kFill);
    WriteBlockHeader(p.data(), type);
    WriteBlockFile(p.data(), last, lastLength, name);
    WriteBlockPosition(p.data(), file, block);
    for (size_t i = 0; i < data; ++i) p[kBlockHeadSize + i] = uint8_t('a' + i);
    p.resize(kBlockHeadSize + data);
    return p;
}

NameField Field(const uint8_t* bytes, uint32_t count) {  // no used length: goes out whole
    NameField f;
    std::memcpy(f.bytes.data(), bytes, kNameFieldBytes);
    f.count = count;
    return f;
}

// Decodes the first n bytes with the decoder of `type` and encodes the result again.
std::optional<Bytes> RoundTrip(uint8_t type, const Bytes& received, size_t n = SIZE_MAX) {
    const Bytes exact(received.begin(), received.begin() + std::min(n, received.size()));
    const Datagram d(exact);
    auto again = [&](auto decode, auto encode) {  // what decode read, written again by encode
        const auto p = decode(d);
        return p ? std::optional(Encoded(encode, *p)) : std::nullopt;
    };
    switch (type) {
        case kCollect: return IsCollect(d) ? std::optional(Encoded(EncodeCollect)) : std::nullopt;
        case kStop: return IsStop(d) ? std::optional(Encoded(EncodeStop)) : std::nullopt;
        case kReport: return IsReport(d) ? std::optional(Encoded(EncodeReport)) : std::nullopt;
        case kJoin: return again(DecodeJoin, EncodeJoin);
        case kPoll: return again(DecodePoll, EncodePoll);
        case kHold: return again(DecodeHold, EncodeHold);
        case kAck: return again(DecodeAck, EncodeAck);
        case kTask: return again(DecodeTask, EncodeTask);
        case kFinish: return again(DecodeFinish, EncodeFinish);
        case kAnswer: return again(DecodeAnswer, EncodeAnswer);
        case kServerOs: return again(DecodeServerOs, EncodeServerOs);
        case kEmptyDirectories: {
            auto e = DecodeEmptyDirectories(d);
            if (!e) return std::nullopt;
            std::vector<NameField> names;
            for (size_t i = 0; i < e->names.size(); ++i) names.push_back(Field(e->names[i], e->counts[i]));
            return Encoded(EncodeEmptyDirectories, names);
        }
        case kDataBlock:
        case kRepairBlock: {
            auto b = DecodeBlock(d);
            if (!b) return std::nullopt;
            Bytes p = BlockPacket(PacketType(b->type), b->file, b->block, b->lastIndex, b->lastLength,
                                  Field(b->name, b->nameCount), b->data.size());
            std::copy(b->data.begin(), b->data.end(), p.begin() + kBlockHeadSize);
            p[15] = b->streamFlag;
            return p;
        }
    }
    return std::nullopt;
}

// One pinned datagram per type, refused when shorter than `fixed`.
struct Pinned { const char* seed; size_t fixed; Bytes bytes; const char* wire; };

const Pinned kPinned[] = {
    {"01-collect", 3, Encoded(EncodeCollect), "9102 01"},
    {"02-join", 4, Encoded(EncodeJoin, {0}), "9102 02 00"},
    {"03-poll", 7, Encoded(EncodePoll, {0x0A0B0C0D}), "9102 03 0d0c0b0a"},
    {"04-hold", 5, Encoded(EncodeHold, {0, 1}), "9102 04 00 01"},
    {"05-ack", 11, Encoded(EncodeAck, {0x01020304, 0xA0B0C0D0}), "9102 05 04030201 d0c0b0a0"},
    {"06-task", 539, Encoded(EncodeTask, {0x00010203, 7, 0xFFFFFFFF, WideNameField(u"C:\\tv")}),
     "9102 06 03020100 07000000 ffffffff 43003a005c0074007600 00*510 06000000"},
    {"07-repair-block", 542,
     BlockPacket(kRepairBlock, 0x11223344, 0x55667788, 0xA1B2C3D4, 0x0F0E, Field(Bytes(520, 0x41).data(), 9), 0),
     "9102 07 44332211 88776655 d4c3b2a1 00 0e0f 41*520 09000000"},
    {"08-finish", 4, Encoded(EncodeFinish, {1}), "9102 08 01"},
    {"09-stop", 3, Encoded(EncodeStop), "9102 09"},
    {"10-empty-directories", 7, Encoded(EncodeEmptyDirectories, {NarrowNameField("\\in"), WideNameField(u"\\d")}),
     "9102 0a 02000000 5c696e00 00*516 04000000 5c006400 0000 00*514 03000000"},
    {"11-data-block", 542, BlockPacket(kDataBlock, 0x0102, 1, 1, 10, WideNameField(u"\\a"), 10),
     "9102 0b 02010000 01000000 01000000 01 0a00 5c006100 0000 ee*514 03000000 6162636465666768696a"},
    {"12-answer", 7, Encoded(EncodeAnswer, {0x12345678}), "9102 0c 78563412"},
    {"13-server-os", 4, Encoded(EncodeServerOs, {1}), "9102 0d 01"},
    {"14-report", 7, Encoded(EncodeReport), "9102 0e 00000000"},
};

void PrintTo(const Pinned& p, std::ostream* os) { *os << p.seed; }

class Wire : public ::testing::TestWithParam<Pinned> {};

TEST_P(Wire, PinnedBytesDecodeAndEncodeAgain) {
    const Pinned& p = GetParam();
    ASSERT_EQ(p.bytes, Hex(p.wire));
    EXPECT_EQ(RoundTrip(p.bytes[2], p.bytes), p.bytes);
}

TEST_P(Wire, DecoderRefusesShortDatagramsOtherTypesAndAWrongMagic) {
    const Pinned& p = GetParam();
    const uint8_t own = p.bytes[2];
    const Bytes fixed(p.bytes.begin(), p.bytes.begin() + p.fixed);
    for (size_t n = 0; n < p.fixed; ++n) EXPECT_FALSE(RoundTrip(own, fixed, n)) << n << " bytes";
    EXPECT_TRUE(RoundTrip(own, fixed));
    EXPECT_TRUE(RoundTrip(own, Hex(p.wire + std::string(" 00*4"))));  // the sender reads answers 11 bytes at a time
    for (int type = 0; type < 256; ++type) {
        Bytes other = fixed;
        other[2] = uint8_t(type);
        const bool blocks = (own == kDataBlock || own == kRepairBlock) && (type == kDataBlock || type == kRepairBlock);
        EXPECT_EQ(RoundTrip(own, other).has_value(), type == own || blocks) << "type " << type;
    }
    for (const char* magic : {"0291", "9100", "0002"}) {
        Bytes bad = fixed;
        std::copy_n(Hex(magic).begin(), 2, bad.begin());
        EXPECT_FALSE(RoundTrip(own, bad)) << magic;
    }
}

std::string Name(const ::testing::TestParamInfo<Pinned>& info) {
    std::string name = info.param.seed + 3;
    return std::erase(name, '-'), name;
}
INSTANTIATE_TEST_SUITE_P(Protocol, Wire, ::testing::ValuesIn(kPinned), Name);

TEST(ProtocolEmptyDirectories, OnlyEntriesPresentAnnouncedAndAtMostForty) {
    std::vector<NameField> many(41, WideNameField(u"\\x"));
    const Bytes full = Encoded(EncodeEmptyDirectories, many);
    EXPECT_EQ(full.size(), kMaxDatagram);
    EXPECT_EQ(Bytes(full.begin() + 3, full.begin() + 7), Hex("28000000"));
    const struct { uint32_t count; size_t length, entries; } cases[] = {
        {3, 7, 0}, {3, 7 + 524 * 2, 2}, {3, 7 + 524 * 3 - 1, 2}, {2, 7 + 524 * 5, 2},
        {0xFFFFFFFF, 7 + 524 * 2, 0}, {0, 7 + 524, 0}, {45, 7 + 524 * 45, 40}};
    for (const auto& c : cases) {
        Bytes d(c.length, 0);  // every slot that fits holds a one-letter name
        d[0] = 0x91, d[1] = 0x02, d[2] = kEmptyDirectories;
        for (int i = 0; i < 4; ++i) d[3 + i] = uint8_t(c.count >> (8 * i));
        for (size_t at = 7; at + 524 <= c.length; at += 524) d[at] = 'a' + (at / 524) % 26, d[at + 520] = 2;
        auto e = DecodeEmptyDirectories(Datagram(d));
        ASSERT_TRUE(e) << c.length;
        EXPECT_EQ(e->count, int32_t(c.count));
        ASSERT_EQ(e->names.size(), c.entries) << c.count << " announced in " << c.length << " bytes";
        ASSERT_EQ(e->counts.size(), c.entries);
        for (size_t i = 0; i < c.entries; ++i) {
            EXPECT_EQ(e->names[i], d.data() + 7 + 524 * i);
            EXPECT_EQ(ReadNarrowName(e->names[i], e->counts[i]), std::string(1, char('a' + i % 26)));
        }
    }
}

TEST(ProtocolNameField, BothEncodingsCutToTheFieldAndReadersClampTheCount) {
    NameField wide = WideNameField(u"\\\u00e9\u4e2d");
    EXPECT_EQ(Bytes(wide.bytes.begin(), wide.bytes.begin() + 10), Hex("5c00 e900 2d4e 0000 0000"));
    EXPECT_EQ(wide.count, 4u);
    EXPECT_EQ(ReadWideName(wide.bytes.data(), wide.count), u"\\\u00e9\u4e2d");
    const struct { size_t units; uint32_t count; size_t kept; } cuts[] = {
        {0, 1, 0}, {259, 260, 259}, {260, 261, 260}, {261, 261, 260}, {1000, 261, 260}};
    for (const auto& c : cuts) {
        const std::u16string name(c.units, u'\x4142');
        NameField f = WideNameField(name);
        EXPECT_EQ(f.count, c.count) << c.units;
        EXPECT_EQ(ReadWideName(f.bytes.data(), f.count), name.substr(0, c.kept)) << c.units;
        EXPECT_TRUE(c.kept == 260 || (f.bytes[2 * c.kept] | f.bytes[2 * c.kept + 1]) == 0) << "terminator";
    }
    NameField narrow = NarrowNameField("\\caf\xe9");  // bytes above 127 stay as they are
    EXPECT_EQ(Bytes(narrow.bytes.begin(), narrow.bytes.begin() + 7), Hex("5c636166e9 0000"));
    EXPECT_EQ(narrow.count, 6u);
    EXPECT_EQ(ReadNarrowName(narrow.bytes.data(), narrow.count), "\\caf\xe9");
    for (size_t length : {519u, 520u, 800u}) {
        NameField f = NarrowNameField(std::string(length, 'n'));
        EXPECT_TRUE(f.count == 520 && f.bytes[518] == 'n' && f.bytes[519] == 0) << length;
    }
    // 520 bytes without a NUL: a reader that trusted the count would run off the end.
    const Bytes field(kNameFieldBytes, 0x41);
    for (uint32_t count : {0u, 3u, 261u, 520u, 0xFFFFFFFFu}) {
        EXPECT_EQ(ReadWideName(field.data(), count), std::u16string(std::min(count, 260u), u'\x4141')) << count;
        EXPECT_EQ(ReadNarrowName(field.data(), count), std::string(std::min(count, 260u), 'A')) << count;
    }
    EXPECT_EQ(ReadWideName(wide.bytes.data(), 30), u"\\\u00e9\u4e2d");  // a count past the terminator stops there
}

TEST(ProtocolBlocks, ArithmeticAtTheBoundaries) {
    const struct { uint64_t length; std::optional<uint32_t> last; uint16_t lastLength; uint64_t count; } cases[] = {
        {0, 0u, 0, 1}, {1, 0u, 1, 1}, {4253, 0u, 4253, 1}, {4254, 1u, 0, 2}, {2 * 4254, 2u, 0, 3},
        {10000, 2u, 1492, 3}, {5ull << 30, 1262037u, 3722, 1262038}, {4294967295ull * 4254 + 4253, 4294967295u, 4253,
        4294967296ull}, {4294967296ull * 4254, std::nullopt, 0, 4294967297ull}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        EXPECT_EQ(LastBlockIndex(c.length), c.last);
        EXPECT_EQ(LastBlockLength(c.length), c.lastLength);
        EXPECT_EQ(BlockCount(c.length), c.count);
        if (!c.last) continue;
        EXPECT_EQ(BlockOffset(*c.last) + BlockDataLength(*c.last, *c.last, c.lastLength), c.length);
        EXPECT_TRUE(*c.last == 0 || BlockDataLength(*c.last - 1, *c.last, c.lastLength) == 4254u);
    }
}

}  // namespace
}  // namespace tivlo::protocol
