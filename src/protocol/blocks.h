// Block arithmetic. A file of length L has blocks 0 to L / 4254; every block
// but the last carries 4254 bytes, the last L % 4254 (possibly none). Lengths
// are 64-bit: a file of 2 GiB or more is cut exactly like a small one.
#pragma once

#include <cstdint>
#include <optional>

#include "protocol/wire.h"

namespace tivlo::protocol {

// The block index of a file's last block; nullopt when it does not fit the
// wire's u32.
inline std::optional<uint32_t> LastBlockIndex(uint64_t length) {
    uint64_t last = length / kBlockSize;
    if (last > UINT32_MAX) return std::nullopt;
    return uint32_t(last);
}
inline uint16_t LastBlockLength(uint64_t length) { return uint16_t(length % kBlockSize); }
inline uint64_t BlockCount(uint64_t length) { return length / kBlockSize + 1; }
inline uint64_t BlockOffset(uint32_t block) { return uint64_t(block) * kBlockSize; }
// Data bytes of block `block` of a file whose last block is lastIndex.
inline uint32_t BlockDataLength(uint32_t block, uint32_t lastIndex, uint16_t lastLength) {
    return block == lastIndex ? lastLength : kBlockSize;
}

}  // namespace tivlo::protocol
