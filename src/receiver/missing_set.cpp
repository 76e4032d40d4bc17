#include "receiver/missing_set.h"

#include <algorithm>

namespace tivlo::receiver {

uint64_t MissingSet::Insert(std::map<uint64_t, uint64_t>& ranges, uint64_t first, uint64_t last) {
    uint64_t added = last - first + 1;
    // Merge with a range that starts before and reaches first (or touches it).
    auto it = ranges.upper_bound(first);
    if (it != ranges.begin()) {
        auto prev = std::prev(it);
        if (prev->second + 1 >= first) {
            if (prev->second >= last) return 0;
            added -= prev->second - first + 1;
            first = prev->first;
            it = ranges.erase(prev);
        }
    }
    // Swallow every range that starts within [first, last + 1].
    while (it != ranges.end() && it->first <= last + 1) {
        const uint64_t overlapEnd = std::min(it->second, last);
        if (it->first <= overlapEnd) added -= overlapEnd - it->first + 1;
        last = std::max(last, it->second);
        it = ranges.erase(it);
    }
    ranges.emplace(first, last);
    return added;
}

bool MissingSet::Erase(std::map<uint64_t, uint64_t>& ranges, uint64_t value) {
    auto it = ranges.upper_bound(value);
    if (it == ranges.begin()) return false;
    --it;
    if (it->second < value) return false;
    const uint64_t first = it->first;
    const uint64_t last = it->second;
    ranges.erase(it);
    if (first < value) ranges.emplace(first, value - 1);
    if (value < last) ranges.emplace(value + 1, last);
    return true;
}

bool MissingSet::Holds(const std::map<uint64_t, uint64_t>& ranges, uint64_t value) {
    auto it = ranges.upper_bound(value);
    if (it == ranges.begin()) return false;
    return std::prev(it)->second >= value;
}

void MissingSet::AddBlocks(uint32_t file, uint32_t first, uint32_t last) {
    if (last < first) return;
    // Block 0 of a file counted as unseen is the same entry.
    if (first == 0 && Holds(files_, file)) {
        if (last == 0) return;
        first = 1;
    }
    count_ += Insert(blocks_, Key(file, first), Key(file, last));
}

void MissingSet::AddFiles(uint32_t first, uint32_t last) {
    for (uint64_t f = first; f <= last;) {
        // Files whose block 0 is already missing as a block stay as they are.
        if (Holds(blocks_, Key(uint32_t(f), 0))) {
            ++f;
            continue;
        }
        // The run up to the next file that is.
        uint64_t end = last;
        auto next = blocks_.lower_bound(Key(uint32_t(f), 0));
        for (; next != blocks_.end() && (next->first >> 32) <= last; ++next) {
            if ((next->first & 0xFFFFFFFFu) == 0) {
                end = std::min<uint64_t>(end, (next->first >> 32) - 1);
                break;
            }
        }
        count_ += Insert(files_, f, end);
        f = end + 1;
    }
}

bool MissingSet::Contains(uint32_t file, uint32_t block) const {
    return Holds(blocks_, Key(file, block)) || (block == 0 && Holds(files_, file));
}

bool MissingSet::Remove(uint32_t file, uint32_t block) {
    if (Erase(blocks_, Key(file, block)) || (block == 0 && Erase(files_, file))) {
        --count_;
        return true;
    }
    return false;
}

bool MissingSet::TakeFile(uint32_t file) {
    if (!Erase(files_, file)) return false;
    --count_;
    return true;
}

std::optional<BlockRef> MissingSet::First() const {
    std::optional<BlockRef> best;
    if (!blocks_.empty()) {
        const uint64_t k = blocks_.begin()->first;
        best = BlockRef{uint32_t(k >> 32), uint32_t(k)};
    }
    if (!files_.empty()) {
        const uint32_t f = uint32_t(files_.begin()->first);
        if (!best || f < best->file || (f == best->file && best->block > 0)) best = BlockRef{f, 0};
    }
    return best;
}

std::optional<BlockRef> MissingSet::After(uint32_t file, uint32_t block) const {
    std::optional<BlockRef> best;
    const uint64_t from = Key(file, block) + 1;
    auto it = blocks_.upper_bound(from);
    if (it != blocks_.begin() && std::prev(it)->second >= from) {
        best = BlockRef{uint32_t(from >> 32), uint32_t(from)};
    } else if (it != blocks_.end()) {
        best = BlockRef{uint32_t(it->first >> 32), uint32_t(it->first)};
    }
    // A never-seen file counts as its block 0: after (file, block) when it
    // comes later.
    auto f = files_.upper_bound(file);
    if (f != files_.begin() && std::prev(f)->second > file) {
        if (!best || file + 1 < best->file || (file + 1 == best->file && best->block > 0)) best = BlockRef{file + 1, 0};
    } else if (f != files_.end()) {
        const uint32_t g = uint32_t(f->first);
        if (!best || g < best->file || (g == best->file && best->block > 0)) best = BlockRef{g, 0};
    }
    return best;
}

void MissingSet::Clear() {
    blocks_.clear();
    files_.clear();
    count_ = 0;
}

}  // namespace tivlo::receiver
