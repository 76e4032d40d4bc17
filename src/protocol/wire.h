// Addresses, ports, packet types, sizes and field offsets of the wire
// protocol. Integers in packet bodies are little-endian; only socket
// addresses are in network order.
//
// Every packet begins with the same header:
//
//     0      1      2
//   +------+------+------+
//   | 0x91 | 0x02 | type |      magic 0x0291 (u16), type (u8)
//   +------+------+------+
//
// and each packet type has a namespace below with the offsets of its fields,
// a drawing of its layout, and its size; a compile-time check makes sure the
// last field ends exactly at the size.
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

// Name fields: 520 bytes, followed by a u32 count of characters that
// includes the terminator.
inline constexpr size_t kNameFieldBytes = 520;
inline constexpr uint32_t kMaxWideNameUnits = 260;  // fills the field, no terminator
inline constexpr uint32_t kMaxNarrowNameUnits = 260;

namespace header {
inline constexpr size_t kType = 2;
inline constexpr size_t kSize = 3;
}  // namespace header

// Types 1 Collect, 9 Stop: the header alone.
inline constexpr size_t kCollectSize = header::kSize;
inline constexpr size_t kStopSize = header::kSize;

// Type 2, Join (receiver to sender).
//   3
//   +------+
//   | wide |   1: the receiver runs an NT-family (Unicode) system
//   +------+
namespace join {
inline constexpr size_t kWide = 3;
inline constexpr size_t kSize = 4;
static_assert(kWide + 1 == kSize);
}  // namespace join

// Type 3, Poll (sender to one receiver).
//   3                  7
//   +------------------+
//   |    turn (u32)    |   1: served now; 0: the sender believes it complete
//   +------------------+
namespace poll {
inline constexpr size_t kTurn = 3;
inline constexpr size_t kSize = 7;
static_assert(kTurn + 4 == kSize);
}  // namespace poll

// Type 4, Hold (sender to one receiver).
//   3          4          5
//   +----------+----------+
//   | complete | unicast  |   the Ack missed nothing; the second pass runs
//   +----------+----------+
namespace hold {
inline constexpr size_t kComplete = 3;
inline constexpr size_t kUnicast = 4;
inline constexpr size_t kSize = 5;
static_assert(kUnicast + 1 == kSize);
}  // namespace hold

// Type 5, Ack (receiver to sender): the next block it wants.
//   3                  7                  11
//   +------------------+------------------+
//   |    file (u32)    |   block (u32)    |   file > file count: nothing missing
//   +------------------+------------------+
namespace ack {
inline constexpr size_t kFile = 3;
inline constexpr size_t kBlock = 7;
inline constexpr size_t kSize = 11;
static_assert(kBlock + 4 == kSize);
}  // namespace ack

// Type 6, Task (sender to the group).
//   3              7              11             15                 535        539
//   +--------------+--------------+--------------+------------------+----------+
//   | total blocks |  file count  |  mode (u32)  | target path name |  count   |
//   +--------------+--------------+--------------+------------------+----------+
namespace task {
inline constexpr size_t kTotalBlocks = 3;
inline constexpr size_t kFileCount = 7;
inline constexpr size_t kMode = 11;
inline constexpr size_t kName = 15;
inline constexpr size_t kNameCount = 535;
inline constexpr size_t kSize = 539;
static_assert(kName + kNameFieldBytes == kNameCount && kNameCount + 4 == kSize);
}  // namespace task

// Types 7 Repair block and 11 Data block (sender to the group, or to the
// master alone in the second pass).
//   3          7          11           15     16           18         538     542
//   +----------+----------+------------+------+------------+----------+-------+-----------
//   |   file   |  block   | last index | flag | last bytes |   name   | count | data ...
//   +----------+----------+------------+------+------------+----------+-------+-----------
//   flag: 1 in a Data block, 0 in a Repair block; data: up to 4254 bytes.
namespace block {
inline constexpr size_t kFile = 3;
inline constexpr size_t kIndex = 7;
inline constexpr size_t kLastIndex = 11;
inline constexpr size_t kStreamFlag = 15;
inline constexpr size_t kLastLength = 16;
inline constexpr size_t kName = 18;
inline constexpr size_t kNameCount = 538;
inline constexpr size_t kData = 542;
inline constexpr size_t kHeadSize = 542;
inline constexpr uint32_t kDataSize = 4254;
inline constexpr size_t kMaxSize = kHeadSize + kDataSize;  // 4796
static_assert(kName + kNameFieldBytes == kNameCount && kNameCount + 4 == kData && kData == kHeadSize);
}  // namespace block

// Type 8, Finish (sender to the group, or receiver to sender).
//   3
//   +------+
//   | code |   from a receiver: 0 it has everything, 1 it gives up
//   +------+
namespace finish {
inline constexpr size_t kCode = 3;
inline constexpr size_t kSize = 4;
static_assert(kCode + 1 == kSize);
}  // namespace finish

// Type 10, Empty directories (sender to the group).
//   3           7                            527     531
//   +-----------+----------------------------+-------+-----
//   | n (u32)   | entry 0: name field        | count | entry 1 ... (n <= 40)
//   +-----------+----------------------------+-------+-----
namespace emptydirs {
inline constexpr size_t kCount = 3;
inline constexpr size_t kEntries = 7;  // entry i at 7 + 524 i, its count 520 further
inline constexpr size_t kEntrySize = kNameFieldBytes + 4;
inline constexpr uint32_t kMaxEntries = 40;
inline constexpr size_t kHeadSize = kEntries;
inline constexpr size_t kMaxSize = kEntries + kEntrySize * kMaxEntries;  // 20967
static_assert(kEntrySize == 524 && kMaxSize == 20967);
}  // namespace emptydirs

// Type 12, Answer (receiver to sender): blocks it still misses.
//   3                  7
//   +------------------+
//   |  missing (u32)   |
//   +------------------+
namespace answer {
inline constexpr size_t kMissing = 3;
inline constexpr size_t kSize = 7;
static_assert(kMissing + 4 == kSize);
}  // namespace answer

// Type 13, Server OS (sender to the group): the names' encoding.
//   3
//   +------+
//   | wide |   1: names are UTF-16LE; 0: single-byte ANSI
//   +------+
namespace serveros {
inline constexpr size_t kWide = 3;
inline constexpr size_t kSize = 4;
static_assert(kWide + 1 == kSize);
}  // namespace serveros

// Type 14, Report (sender to the report group): the heartbeat.
//   3                  7
//   +------------------+
//   |    zero (u32)    |
//   +------------------+
namespace report {
inline constexpr size_t kZero = 3;
inline constexpr size_t kSize = 7;
static_assert(kZero + 4 == kSize);
}  // namespace report

// Sizes and limits used across the code.
inline constexpr uint32_t kBlockSize = block::kDataSize;
inline constexpr size_t kBlockHeadSize = block::kHeadSize;
inline constexpr size_t kMaxBlockPacket = block::kMaxSize;
inline constexpr size_t kMaxDatagram = emptydirs::kMaxSize;
inline constexpr uint32_t kMaxEmptyDirEntries = emptydirs::kMaxEntries;
inline constexpr size_t kAnswerReadSize = ack::kSize;  // the sender reads answers 11 bytes at a time

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
