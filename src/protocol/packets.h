// One encoder and one decoder per packet type. Encoders write into a caller's
// buffer (large enough for the type, see wire.h) and return the datagram's
// length. Decoders take the datagram as received (pointer and received
// length), check magic and type, refuse a datagram shorter than the type's
// fixed part and never read past the received length.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/wire.h"

namespace tivlo::protocol {

using Datagram = std::span<const uint8_t>;

// The raw bytes of a name field and its character count, as on the wire.
struct NameField {
    std::array<uint8_t, kNameFieldBytes> bytes{};
    uint32_t count = 0;  // characters, terminator included
    // Bytes of the field taken by the name and its terminator. Block packets
    // copy only these, so a reused buffer keeps an earlier name's tail; 0 (a
    // field filled in by hand) means the whole field.
    uint32_t bytesUsed = 0;
};

// Name fields in both encodings. A name longer than the field is cut to the
// field (260 UTF-16 units, or 519 single-byte characters plus NUL); the count
// stays consistent with what was written.
NameField WideNameField(const std::u16string& name);
NameField NarrowNameField(const std::string& name);
// Reading a name field: count is clamped to what the field can hold; the
// text ends at the first NUL.
std::u16string ReadWideName(const uint8_t* field, uint32_t count);
std::string ReadNarrowName(const uint8_t* field, uint32_t count);

// ---- Packets ----

struct Join { uint8_t wide = 1; };
struct Poll { uint32_t turn = 0; };
struct Hold { uint8_t complete = 0; uint8_t unicastPhase = 0; };
struct Ack { uint32_t file = 0; uint32_t block = 0; };
struct Task {
    uint32_t totalBlocks = 0;
    uint32_t fileCount = 0;
    uint32_t mode = 0;
    NameField path;
};
// Types 7 (Repair block) and 11 (Data block).
struct Block {
    uint8_t type = kDataBlock;
    uint32_t file = 0;
    uint32_t block = 0;
    uint32_t lastIndex = 0;
    uint8_t streamFlag = 0;
    uint16_t lastLength = 0;
    const uint8_t* name = nullptr;  // the 520-byte field inside the datagram
    uint32_t nameCount = 0;
    Datagram data;  // the bytes behind the head, as received
};
struct Finish { uint8_t code = 0; };
struct EmptyDirectories {
    int32_t count = 0;                 // as on the wire (may be below 1)
    std::vector<const uint8_t*> names; // entries present in the datagram, at most 40
    std::vector<uint32_t> counts;
};
struct Answer { uint32_t missing = 0; };
struct ServerOs { uint8_t wide = 1; };

size_t EncodeCollect(uint8_t* out);
size_t EncodeJoin(const Join& p, uint8_t* out);
size_t EncodePoll(const Poll& p, uint8_t* out);
size_t EncodeHold(const Hold& p, uint8_t* out);
size_t EncodeAck(const Ack& p, uint8_t* out);
size_t EncodeTask(const Task& p, uint8_t* out);  // zero-filled, 539 bytes
size_t EncodeFinish(const Finish& p, uint8_t* out);
size_t EncodeStop(uint8_t* out);
// Up to 40 entries (more are not written); zero-filled; 7 + 524 n bytes.
size_t EncodeEmptyDirectories(const std::vector<NameField>& entries, uint8_t* out);
size_t EncodeAnswer(const Answer& p, uint8_t* out);
size_t EncodeServerOs(const ServerOs& p, uint8_t* out);
size_t EncodeReport(uint8_t* out);

// Block packets are built in place, in a reused buffer of kMaxBlockPacket
// bytes: the head once, the per-file fields once per file, the position and
// data per block. The name's tail bytes are left as they were.
void WriteBlockHeader(uint8_t* packet, PacketType type);  // magic, type, stream flag
void WriteBlockFile(uint8_t* packet, uint32_t lastIndex, uint16_t lastLength, const NameField& name);
void WriteBlockPosition(uint8_t* packet, uint32_t file, uint32_t block);

// Decoders. The type byte must match; nullopt otherwise.
bool IsCollect(Datagram d);
std::optional<Join> DecodeJoin(Datagram d);
std::optional<Poll> DecodePoll(Datagram d);
std::optional<Hold> DecodeHold(Datagram d);
std::optional<Ack> DecodeAck(Datagram d);
std::optional<Task> DecodeTask(Datagram d);
std::optional<Block> DecodeBlock(Datagram d);  // types 7 and 11; at least 542 bytes
std::optional<Finish> DecodeFinish(Datagram d);
bool IsStop(Datagram d);
std::optional<EmptyDirectories> DecodeEmptyDirectories(Datagram d);
std::optional<Answer> DecodeAnswer(Datagram d);
std::optional<ServerOs> DecodeServerOs(Datagram d);
bool IsReport(Datagram d);

}  // namespace tivlo::protocol
