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
    return d.size() >= fixed && HasMagic(d.data(), d.size()) && d[off::kType] == type;
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
size_t EncodeReport(uint8_t* out) { return EncodeBare(kReport, kReportSize, out); }

size_t EncodeJoin(const Join& p, uint8_t* out) {
    PutHeader(out, kJoin);
    out[off::kJoinWide] = p.wide;
    return kJoinSize;
}

size_t EncodePoll(const Poll& p, uint8_t* out) {
    PutHeader(out, kPoll);
    PutU32(out + off::kPollTurn, p.turn);
    return kPollSize;
}

size_t EncodeHold(const Hold& p, uint8_t* out) {
    PutHeader(out, kHold);
    out[off::kHoldComplete] = p.complete;
    out[off::kHoldUnicast] = p.unicastPhase;
    return kHoldSize;
}

size_t EncodeAck(const Ack& p, uint8_t* out) {
    PutHeader(out, kAck);
    PutU32(out + off::kAckFile, p.file);
    PutU32(out + off::kAckBlock, p.block);
    return kAckSize;
}

size_t EncodeTask(const Task& p, uint8_t* out) {
    EncodeBare(kTask, kTaskSize, out);
    PutU32(out + off::kTaskTotalBlocks, p.totalBlocks);
    PutU32(out + off::kTaskFileCount, p.fileCount);
    PutU32(out + off::kTaskMode, p.mode);
    PutName(out + off::kTaskName, out + off::kTaskNameCount, p.path);
    return kTaskSize;
}

size_t EncodeFinish(const Finish& p, uint8_t* out) {
    PutHeader(out, kFinish);
    out[off::kFinishCode] = p.code;
    return kFinishSize;
}

size_t EncodeEmptyDirectories(const std::vector<NameField>& entries, uint8_t* out) {
    size_t n = std::min<size_t>(entries.size(), kMaxEmptyDirEntries);
    size_t size = kEmptyDirHeadSize + kEmptyDirEntrySize * n;
    EncodeBare(kEmptyDirectories, size, out);
    PutU32(out + off::kEmptyDirCount, uint32_t(n));
    for (size_t i = 0; i < n; ++i) {
        uint8_t* entry = out + off::kEmptyDirEntries + kEmptyDirEntrySize * i;
        PutName(entry, entry + kNameFieldBytes, entries[i]);
    }
    return size;
}

size_t EncodeAnswer(const Answer& p, uint8_t* out) {
    PutHeader(out, kAnswer);
    PutU32(out + off::kAnswerMissing, p.missing);
    return kAnswerSize;
}

size_t EncodeServerOs(const ServerOs& p, uint8_t* out) {
    PutHeader(out, kServerOs);
    out[off::kServerOsWide] = p.wide;
    return kServerOsSize;
}

void WriteBlockHeader(uint8_t* packet, PacketType type) {
    PutHeader(packet, type);
    packet[off::kBlockStreamFlag] = type == kDataBlock ? 1 : 0;
}

void WriteBlockFile(uint8_t* packet, uint32_t lastIndex, uint16_t lastLength, const NameField& name) {
    PutU32(packet + off::kBlockLastIndex, lastIndex);
    PutU16(packet + off::kBlockLastLength, lastLength);
    PutName(packet + off::kBlockName, packet + off::kBlockNameCount, name);
}

void WriteBlockPosition(uint8_t* packet, uint32_t file, uint32_t block) {
    PutU32(packet + off::kBlockFile, file);
    PutU32(packet + off::kBlockIndex, block);
}

// ---- Decoders ----

bool IsCollect(Datagram d) { return Fits(d, kCollect, kCollectSize); }
bool IsStop(Datagram d) { return Fits(d, kStop, kStopSize); }
bool IsReport(Datagram d) { return Fits(d, kReport, kReportSize); }

std::optional<Join> DecodeJoin(Datagram d) {
    if (!Fits(d, kJoin, kJoinSize)) return std::nullopt;
    return Join{d[off::kJoinWide]};
}

std::optional<Poll> DecodePoll(Datagram d) {
    if (!Fits(d, kPoll, kPollSize)) return std::nullopt;
    return Poll{GetU32(&d[off::kPollTurn])};
}

std::optional<Hold> DecodeHold(Datagram d) {
    if (!Fits(d, kHold, kHoldSize)) return std::nullopt;
    return Hold{d[off::kHoldComplete], d[off::kHoldUnicast]};
}

std::optional<Ack> DecodeAck(Datagram d) {
    if (!Fits(d, kAck, kAckSize)) return std::nullopt;
    return Ack{GetU32(&d[off::kAckFile]), GetU32(&d[off::kAckBlock])};
}

std::optional<Task> DecodeTask(Datagram d) {
    if (!Fits(d, kTask, kTaskSize)) return std::nullopt;
    Task t;
    t.totalBlocks = GetU32(&d[off::kTaskTotalBlocks]);
    t.fileCount = GetU32(&d[off::kTaskFileCount]);
    t.mode = GetU32(&d[off::kTaskMode]);
    std::memcpy(t.path.bytes.data(), &d[off::kTaskName], kNameFieldBytes);
    t.path.count = GetU32(&d[off::kTaskNameCount]);
    t.path.bytesUsed = uint32_t(kNameFieldBytes);
    return t;
}

std::optional<Block> DecodeBlock(Datagram d) {
    if (d.size() < kBlockHeadSize || !HasMagic(d.data(), d.size())) return std::nullopt;
    uint8_t type = d[off::kType];
    if (type != kDataBlock && type != kRepairBlock) return std::nullopt;
    Block b;
    b.type = type;
    b.file = GetU32(&d[off::kBlockFile]);
    b.block = GetU32(&d[off::kBlockIndex]);
    b.lastIndex = GetU32(&d[off::kBlockLastIndex]);
    b.streamFlag = d[off::kBlockStreamFlag];
    b.lastLength = GetU16(&d[off::kBlockLastLength]);
    b.name = &d[off::kBlockName];
    b.nameCount = GetU32(&d[off::kBlockNameCount]);
    b.data = d.subspan(off::kBlockData);
    return b;
}

std::optional<Finish> DecodeFinish(Datagram d) {
    if (!Fits(d, kFinish, kFinishSize)) return std::nullopt;
    return Finish{d[off::kFinishCode]};
}

std::optional<EmptyDirectories> DecodeEmptyDirectories(Datagram d) {
    if (!Fits(d, kEmptyDirectories, kEmptyDirHeadSize)) return std::nullopt;
    EmptyDirectories e;
    e.count = int32_t(GetU32(&d[off::kEmptyDirCount]));
    // Only whole entries that the datagram really holds, never more than
    // the count announces or the protocol allows.
    size_t present = (d.size() - kEmptyDirHeadSize) / kEmptyDirEntrySize;
    size_t announced = e.count > 0 ? size_t(e.count) : 0;
    size_t n = std::min({present, announced, size_t(kMaxEmptyDirEntries)});
    e.names.reserve(n);
    e.counts.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* entry = &d[off::kEmptyDirEntries + kEmptyDirEntrySize * i];
        e.names.push_back(entry);
        e.counts.push_back(GetU32(entry + kNameFieldBytes));
    }
    return e;
}

std::optional<Answer> DecodeAnswer(Datagram d) {
    if (!Fits(d, kAnswer, kAnswerSize)) return std::nullopt;
    return Answer{GetU32(&d[off::kAnswerMissing])};
}

std::optional<ServerOs> DecodeServerOs(Datagram d) {
    if (!Fits(d, kServerOs, kServerOsSize)) return std::nullopt;
    return ServerOs{d[off::kServerOsWide]};
}

}  // namespace tivlo::protocol
