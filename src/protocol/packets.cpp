#include "protocol/packets.h"

#include <algorithm>
#include <cstring>

namespace tivlo::protocol {

namespace {

// Bytes of a name field that carry the name and its terminator.
size_t UsedBytes(const NameField& name) {
    if (name.bytesUsed == 0 || name.bytesUsed > kNameFieldBytes) return kNameFieldBytes;
    return name.bytesUsed;
}

// Writes a name field and its count; the rest of the field is left alone.
void PutName(uint8_t* field, uint8_t* countAt, const NameField& name) {
    std::memcpy(field, name.bytes.data(), UsedBytes(name));
    PutU32(countAt, name.count);
}

// Header check shared by every decoder: magic, type and the fixed part.
bool Fits(Datagram d, PacketType type, size_t fixed) {
    return d.size() >= fixed && HasMagic(d.data(), d.size()) && d[header::kType] == type;
}

size_t EncodeBare(PacketType type, size_t size, uint8_t* out) {
    std::memset(out, 0, size);
    PutHeader(out, type);
    return size;
}

}  // namespace

NameField WideNameField(const std::u16string& name) {
    NameField f;
    size_t units = std::min<size_t>(name.size(), kMaxWideNameUnits);
    for (size_t i = 0; i < units; ++i) PutU16(&f.bytes[2 * i], uint16_t(name[i]));
    if (units < kMaxWideNameUnits) {
        // The terminator is already there: the field starts zeroed.
        f.bytesUsed = uint32_t(2 * units + 2);
    } else {
        // A full field has no room for the terminator; the count still
        // includes it, as the receiver clamps the count to the field.
        f.bytesUsed = uint32_t(kNameFieldBytes);
    }
    f.count = uint32_t(units + 1);
    return f;
}

NameField NarrowNameField(const std::string& name) {
    NameField f;
    size_t bytes = std::min<size_t>(name.size(), kNameFieldBytes - 1);
    std::memcpy(f.bytes.data(), name.data(), bytes);
    f.bytesUsed = uint32_t(bytes + 1);
    f.count = uint32_t(bytes + 1);
    return f;
}

std::u16string ReadWideName(const uint8_t* field, uint32_t count) {
    uint32_t units = std::min(count, kMaxWideNameUnits);
    std::u16string name;
    name.reserve(units);  // one allocation, not one per doubling
    for (uint32_t i = 0; i < units; ++i) {
        char16_t c = char16_t(GetU16(field + 2 * i));
        if (c == 0) break;
        name.push_back(c);
    }
    return name;
}

std::string ReadNarrowName(const uint8_t* field, uint32_t count) {
    uint32_t bytes = std::min(count, kMaxNarrowNameUnits);
    const uint8_t* end = std::find(field, field + bytes, uint8_t(0));
    return std::string(reinterpret_cast<const char*>(field), size_t(end - field));
}

// ---- Encoders ----

size_t EncodeCollect(uint8_t* out) { return EncodeBare(kCollect, kCollectSize, out); }
size_t EncodeStop(uint8_t* out) { return EncodeBare(kStop, kStopSize, out); }
size_t EncodeReport(uint8_t* out) { return EncodeBare(kReport, report::kSize, out); }

size_t EncodeJoin(const Join& p, uint8_t* out) {
    PutHeader(out, kJoin);
    out[join::kWide] = p.wide;
    return join::kSize;
}

size_t EncodePoll(const Poll& p, uint8_t* out) {
    PutHeader(out, kPoll);
    PutU32(out + poll::kTurn, p.turn);
    return poll::kSize;
}

size_t EncodeHold(const Hold& p, uint8_t* out) {
    PutHeader(out, kHold);
    out[hold::kComplete] = p.complete;
    out[hold::kUnicast] = p.unicastPhase;
    return hold::kSize;
}

size_t EncodeAck(const Ack& p, uint8_t* out) {
    PutHeader(out, kAck);
    PutU32(out + ack::kFile, p.file);
    PutU32(out + ack::kBlock, p.block);
    return ack::kSize;
}

size_t EncodeTask(const Task& p, uint8_t* out) {
    EncodeBare(kTask, task::kSize, out);
    PutU32(out + task::kTotalBlocks, p.totalBlocks);
    PutU32(out + task::kFileCount, p.fileCount);
    PutU32(out + task::kMode, p.mode);
    PutName(out + task::kName, out + task::kNameCount, p.path);
    return task::kSize;
}

size_t EncodeFinish(const Finish& p, uint8_t* out) {
    PutHeader(out, kFinish);
    out[finish::kCode] = p.code;
    return finish::kSize;
}

size_t EncodeEmptyDirectories(const std::vector<NameField>& entries, uint8_t* out) {
    size_t n = std::min<size_t>(entries.size(), kMaxEmptyDirEntries);
    size_t size = emptydirs::kHeadSize + emptydirs::kEntrySize * n;
    EncodeBare(kEmptyDirectories, size, out);
    PutU32(out + emptydirs::kCount, uint32_t(n));
    for (size_t i = 0; i < n; ++i) {
        uint8_t* entry = out + emptydirs::kEntries + emptydirs::kEntrySize * i;
        PutName(entry, entry + kNameFieldBytes, entries[i]);
    }
    return size;
}

size_t EncodeAnswer(const Answer& p, uint8_t* out) {
    PutHeader(out, kAnswer);
    PutU32(out + answer::kMissing, p.missing);
    return answer::kSize;
}

size_t EncodeServerOs(const ServerOs& p, uint8_t* out) {
    PutHeader(out, kServerOs);
    out[serveros::kWide] = p.wide;
    return serveros::kSize;
}

void WriteBlockHeader(uint8_t* packet, PacketType type) {
    PutHeader(packet, type);
    packet[block::kStreamFlag] = type == kDataBlock ? 1 : 0;
}

void WriteBlockFile(uint8_t* packet, uint32_t lastIndex, uint16_t lastLength, const NameField& name) {
    PutU32(packet + block::kLastIndex, lastIndex);
    PutU16(packet + block::kLastLength, lastLength);
    PutName(packet + block::kName, packet + block::kNameCount, name);
}

void WriteBlockPosition(uint8_t* packet, uint32_t file, uint32_t block) {
    PutU32(packet + block::kFile, file);
    PutU32(packet + block::kIndex, block);
}

// ---- Decoders ----

bool IsCollect(Datagram d) { return Fits(d, kCollect, kCollectSize); }
bool IsStop(Datagram d) { return Fits(d, kStop, kStopSize); }
bool IsReport(Datagram d) { return Fits(d, kReport, report::kSize); }

std::optional<Join> DecodeJoin(Datagram d) {
    if (!Fits(d, kJoin, join::kSize)) return std::nullopt;
    return Join{d[join::kWide]};
}

std::optional<Poll> DecodePoll(Datagram d) {
    if (!Fits(d, kPoll, poll::kSize)) return std::nullopt;
    return Poll{GetU32(&d[poll::kTurn])};
}

std::optional<Hold> DecodeHold(Datagram d) {
    if (!Fits(d, kHold, hold::kSize)) return std::nullopt;
    return Hold{d[hold::kComplete], d[hold::kUnicast]};
}

std::optional<Ack> DecodeAck(Datagram d) {
    if (!Fits(d, kAck, ack::kSize)) return std::nullopt;
    return Ack{GetU32(&d[ack::kFile]), GetU32(&d[ack::kBlock])};
}

std::optional<Task> DecodeTask(Datagram d) {
    if (!Fits(d, kTask, task::kSize)) return std::nullopt;
    Task t;
    t.totalBlocks = GetU32(&d[task::kTotalBlocks]);
    t.fileCount = GetU32(&d[task::kFileCount]);
    t.mode = GetU32(&d[task::kMode]);
    std::memcpy(t.path.bytes.data(), &d[task::kName], kNameFieldBytes);
    t.path.count = GetU32(&d[task::kNameCount]);
    t.path.bytesUsed = uint32_t(kNameFieldBytes);
    return t;
}

std::optional<Block> DecodeBlock(Datagram d) {
    if (d.size() < kBlockHeadSize || !HasMagic(d.data(), d.size())) return std::nullopt;
    uint8_t type = d[header::kType];
    if (type != kDataBlock && type != kRepairBlock) return std::nullopt;
    Block b;
    b.type = type;
    b.file = GetU32(&d[block::kFile]);
    b.block = GetU32(&d[block::kIndex]);
    b.lastIndex = GetU32(&d[block::kLastIndex]);
    b.streamFlag = d[block::kStreamFlag];
    b.lastLength = GetU16(&d[block::kLastLength]);
    b.name = &d[block::kName];
    b.nameCount = GetU32(&d[block::kNameCount]);
    b.data = d.subspan(block::kData);
    return b;
}

std::optional<Finish> DecodeFinish(Datagram d) {
    if (!Fits(d, kFinish, finish::kSize)) return std::nullopt;
    return Finish{d[finish::kCode]};
}

std::optional<EmptyDirectories> DecodeEmptyDirectories(Datagram d) {
    if (!Fits(d, kEmptyDirectories, emptydirs::kHeadSize)) return std::nullopt;
    EmptyDirectories e;
    e.count = int32_t(GetU32(&d[emptydirs::kCount]));
    // Only whole entries that the datagram really holds, never more than
    // the count announces or the protocol allows.
    size_t present = (d.size() - emptydirs::kHeadSize) / emptydirs::kEntrySize;
    size_t announced = e.count > 0 ? size_t(e.count) : 0;
    size_t n = std::min({present, announced, size_t(kMaxEmptyDirEntries)});
    e.names.reserve(n);
    e.counts.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* entry = &d[emptydirs::kEntries + emptydirs::kEntrySize * i];
        e.names.push_back(entry);
        e.counts.push_back(GetU32(entry + kNameFieldBytes));
    }
    return e;
}

std::optional<Answer> DecodeAnswer(Datagram d) {
    if (!Fits(d, kAnswer, answer::kSize)) return std::nullopt;
    return Answer{GetU32(&d[answer::kMissing])};
}

std::optional<ServerOs> DecodeServerOs(Datagram d) {
    if (!Fits(d, kServerOs, serveros::kSize)) return std::nullopt;
    return ServerOs{d[serveros::kWide]};
}

}  // namespace tivlo::protocol
