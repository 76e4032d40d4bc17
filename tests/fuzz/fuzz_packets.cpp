// Fuzz target: every packet decoder on one datagram. The datagram sits in a
// heap buffer of exactly its length, so a read past its end is an address
// sanitizer finding. What a decoder accepts must be what the encoder of the
// same type writes back, and every pointer it hands out must lie inside the
// datagram.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/packets.h"
#include "fuzz_check.h"

namespace {

using namespace tivlo::protocol;

bool Inside(const uint8_t* p, size_t n, const std::vector<uint8_t>& d) {
    return p >= d.data() && p + n <= d.data() + d.size();
}

// The encoder's bytes equal the datagram's first bytes.
bool SameHead(const uint8_t* encoded, size_t n, const std::vector<uint8_t>& d) {
    return n <= d.size() && std::memcmp(encoded, d.data(), n) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> d(data, data + size);
    const Datagram dg(d.data(), d.size());
    uint8_t out[kMaxDatagram];
    const bool magic = HasMagic(d.data(), d.size());
    const uint8_t type = d.size() > 2 ? d[2] : 0;

    if (IsCollect(dg)) CHECK(magic && type == kCollect);
    if (IsStop(dg)) CHECK(magic && type == kStop);
    if (IsReport(dg)) CHECK(magic && type == kReport);
    if (auto p = DecodeJoin(dg)) CHECK(SameHead(out, EncodeJoin(*p, out), d));
    if (auto p = DecodePoll(dg)) CHECK(SameHead(out, EncodePoll(*p, out), d));
    if (auto p = DecodeHold(dg)) CHECK(SameHead(out, EncodeHold(*p, out), d));
    if (auto p = DecodeAck(dg)) CHECK(SameHead(out, EncodeAck(*p, out), d));
    if (auto p = DecodeFinish(dg)) CHECK(SameHead(out, EncodeFinish(*p, out), d));
    if (auto p = DecodeAnswer(dg)) CHECK(SameHead(out, EncodeAnswer(*p, out), d));
    if (auto p = DecodeServerOs(dg)) CHECK(SameHead(out, EncodeServerOs(*p, out), d));
    if (auto p = DecodeTask(dg)) {
        CHECK(d.size() >= task::kSize);
        CHECK(SameHead(out, EncodeTask(*p, out), d));
        (void)ReadWideName(p->path.bytes.data(), p->path.count);
        (void)ReadNarrowName(p->path.bytes.data(), p->path.count);
    }
    if (auto b = DecodeBlock(dg)) {
        CHECK(magic && (b->type == kDataBlock || b->type == kRepairBlock) && b->type == type);
        CHECK(Inside(b->name, kNameFieldBytes, d));
        CHECK(b->data.data() == d.data() + kBlockHeadSize && b->data.size() == d.size() - kBlockHeadSize);
        // Rebuilt in place, the head is the datagram's head.
        std::vector<uint8_t> again(kMaxBlockPacket, 0);
        WriteBlockHeader(again.data(), PacketType(b->type));
        NameField name;
        std::memcpy(name.bytes.data(), b->name, kNameFieldBytes);
        name.count = b->nameCount;
        WriteBlockFile(again.data(), b->lastIndex, b->lastLength, name);
        WriteBlockPosition(again.data(), b->file, b->block);
        again[block::kStreamFlag] = b->streamFlag;
        CHECK(std::memcmp(again.data(), d.data(), kBlockHeadSize) == 0);
        std::u16string wide = ReadWideName(b->name, b->nameCount);
        CHECK(wide.size() <= kMaxWideNameUnits);
    }
    if (auto e = DecodeEmptyDirectories(dg)) {
        CHECK(e->names.size() == e->counts.size() && e->names.size() <= kMaxEmptyDirEntries);
        CHECK(e->count >= 0 || e->names.empty());
        if (e->count >= 0) CHECK(e->names.size() <= size_t(e->count));
        for (size_t i = 0; i < e->names.size(); ++i) {
            CHECK(Inside(e->names[i], emptydirs::kEntrySize, d));
            CHECK(e->names[i] == d.data() + emptydirs::kHeadSize + emptydirs::kEntrySize * i);
            (void)ReadWideName(e->names[i], e->counts[i]);
            (void)ReadNarrowName(e->names[i], e->counts[i]);
        }
        // Every whole entry the datagram holds, up to the count and the limit.
        const size_t present = (d.size() - emptydirs::kHeadSize) / emptydirs::kEntrySize;
        const size_t announced = e->count > 0 ? size_t(e->count) : 0;
        CHECK(e->names.size() == std::min({present, announced, size_t(kMaxEmptyDirEntries)}));
    }
    return 0;
}
