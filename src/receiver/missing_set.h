// The blocks a receiver still misses, kept as ranges: its memory follows the
// number of gaps, not the number of blocks, whatever a Task claims.
//
// Two kinds of entry: blocks of files whose shape is known, and files never
// seen at all, each standing for the whole file by its block 0 until that
// block arrives (the rest of the file is added then). Every entry counts one
// in the Answer.
#pragma once

#include <cstdint>
#include <map>
#include <optional>

namespace tivlo::receiver {

struct BlockRef {
    uint32_t file = 0;
    uint32_t block = 0;
    bool operator==(const BlockRef&) const = default;
};

class MissingSet {
public:
    // Blocks first..last of file (inclusive); nothing when last < first.
    void AddBlocks(uint32_t file, uint32_t first, uint32_t last);
    // Files first..last, never seen: block 0 of each.
    void AddFiles(uint32_t first, uint32_t last);
    bool Contains(uint32_t file, uint32_t block) const;
    // True when it was missing.
    bool Remove(uint32_t file, uint32_t block);
    // Takes away a never-seen file's entry; true when there was one.
    bool TakeFile(uint32_t file);
    uint64_t Count() const { return count_; }
    bool Empty() const { return count_ == 0; }
    // The lowest missing block, and the lowest after a given one.
    std::optional<BlockRef> First() const;
    std::optional<BlockRef> After(uint32_t file, uint32_t block) const;
    void Clear();
    // Ranges kept, for the memory bound.
    size_t RangeCount() const { return blocks_.size() + files_.size(); }

private:
    static uint64_t Key(uint32_t file, uint32_t block) { return uint64_t(file) << 32 | block; }
    // Inserts [first, last] into a map of disjoint ranges keyed by their
    // start (end inclusive), merging neighbours; returns the values added.
    static uint64_t Insert(std::map<uint64_t, uint64_t>& ranges, uint64_t first, uint64_t last);
    static bool Erase(std::map<uint64_t, uint64_t>& ranges, uint64_t value);
    static bool Holds(const std::map<uint64_t, uint64_t>& ranges, uint64_t value);

    std::map<uint64_t, uint64_t> blocks_;  // Key(file, first) -> Key(file, last)
    std::map<uint64_t, uint64_t> files_;   // first file -> last file
    uint64_t count_ = 0;
};

}  // namespace tivlo::receiver
