// Addresses, ports, packet types, sizes and field offsets of the wire
// protocol. Integers in packet bodies are little-endian; only socket
// addresses are in network order.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tivlo::protocol {

inline constexpr uint8_t kMagic0 = 0x91;  // magic 0x0291, little-endian
inline constexpr uint8_t kMagic1 = 0x02;

enum PacketType : uint8_t {
    kCollect = 1,
    kJoin = 2,
    kPoll = 3,
    kHold = 4,
    kAck = 5,
    kTask = 6,
    kRepairBlock = 7,
    kFinish = 8,
    kStop = 9,
    kEmptyDirectories = 10,
    kDataBlock = 11,
    kAnswer = 12,
    kServerOs = 13,
    kReport = 14,
};

// An IPv4 address a.b.c.d as it stands in memory in network order (what
// inet_addr returns).
constexpr uint32_t IPv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    if constexpr (std::endian::native == std::endian::little)
        return uint32_t(a) | uint32_t(b) << 8 | uint32_t(c) << 16 | uint32_t(d) << 24;
    else
        return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | uint32_t(d);
}

inline constexpr uint32_t kDefaultGroup = IPv4(235, 9, 2, 9);
inline constexpr uint16_t kDefaultDataPort = 27001;
inline constexpr uint32_t kReportGroup = IPv4(234, 9, 2, 10);
inline constexpr uint16_t kReportPort = 28000;
inline constexpr uint16_t kAnswerPortOffset = 2;  // sender's answer port = data port + 2
inline constexpr int kMulticastTtl = 50;

// Blocks.
inline constexpr uint32_t kBlockSize = 4254;
inline constexpr size_t kBlockHeadSize = 542;
inline constexpr size_t kMaxBlockPacket = kBlockHeadSize + kBlockSize;  // 4796

// Name fields: 520 bytes, followed by a u32 count of characters that
// includes the terminator.
inline constexpr size_t kNameFieldBytes = 520;
inline constexpr uint32_t kMaxWideNameUnits = 260;  // fills the field, no terminator
inline constexpr uint32_t kMaxNarrowNameUnits = 260;

// Fixed sizes.
inline constexpr size_t kCollectSize = 3;
inline constexpr size_t kJoinSize = 4;
inline constexpr size_t kPollSize = 7;
inline constexpr size_t kHoldSize = 5;
inline constexpr size_t kAckSize = 11;
inline constexpr size_t kTaskSize = 539;
inline constexpr size_t kFinishSize = 4;
inline constexpr size_t kStopSize = 3;
inline constexpr size_t kEmptyDirHeadSize = 7;
inline constexpr size_t kEmptyDirEntrySize = 524;
inline constexpr uint32_t kMaxEmptyDirEntries = 40;
inline constexpr size_t kAnswerSize = 7;
inline constexpr size_t kServerOsSize = 4;
inline constexpr size_t kReportSize = 7;
inline constexpr size_t kMaxDatagram = kEmptyDirHeadSize + kEmptyDirEntrySize * kMaxEmptyDirEntries;  // 20967
inline constexpr size_t kAnswerReadSize = 11;  // the sender reads answers 11 bytes at a time

// Field offsets.
namespace off {
inline constexpr size_t kType = 2;
inline constexpr size_t kJoinWide = 3;
inline constexpr size_t kPollTurn = 3;
inline constexpr size_t kHoldComplete = 3;
inline constexpr size_t kHoldUnicast = 4;
inline constexpr size_t kAckFile = 3;
inline constexpr size_t kAckBlock = 7;
inline constexpr size_t kTaskTotalBlocks = 3;
inline constexpr size_t kTaskFileCount = 7;
inline constexpr size_t kTaskMode = 11;
inline constexpr size_t kTaskName = 15;
inline constexpr size_t kTaskNameCount = 535;
inline constexpr size_t kBlockFile = 3;
inline constexpr size_t kBlockIndex = 7;
inline constexpr size_t kBlockLastIndex = 11;
inline constexpr size_t kBlockStreamFlag = 15;
inline constexpr size_t kBlockLastLength = 16;
inline constexpr size_t kBlockName = 18;
inline constexpr size_t kBlockNameCount = 538;
inline constexpr size_t kBlockData = 542;
inline constexpr size_t kFinishCode = 3;
inline constexpr size_t kEmptyDirCount = 3;
inline constexpr size_t kEmptyDirEntries = 7;  // entry i at 7 + 524 i, its count 520 further
inline constexpr size_t kAnswerMissing = 3;
inline constexpr size_t kServerOsWide = 3;
}  // namespace off

// Little-endian field access.
inline uint16_t GetU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t GetU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void PutU16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

inline bool HasMagic(const uint8_t* p, size_t length) {
    return length >= 2 && p[0] == kMagic0 && p[1] == kMagic1;
}
inline void PutHeader(uint8_t* p, PacketType type) {
    p[0] = kMagic0;
    p[1] = kMagic1;
    p[2] = type;
}

}  // namespace tivlo::protocol
