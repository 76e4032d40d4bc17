#include "sender/roster.h"

#include "tivlo/tivlo_codes.h"

namespace tivlo::sender {

void Roster::Reset() {
    count_ = 0;
    unicastPhase_ = false;
    pendingSeen_ = false;
    recordZeroRepeats_ = 0;
}

void Roster::NewTransfer() {
    for (int32_t i = 0; i < count_; ++i) records_[i] = ReceiverRecord{.address = records_[i].address};
    unicastPhase_ = false;
    pendingSeen_ = false;
    recordZeroRepeats_ = 0;
}

Roster::Added Roster::Add(const platform::Endpoint& address) {
    if (Find(address) < count_) return Added::Known;
    if (count_ >= kCapacity) return Added::Full;
    // A record taken by a new receiver starts clean, whatever its former
    // occupant left in it.
    records_[count_] = ReceiverRecord{};
    records_[count_].address = address;
    ++count_;
    return Added::New;
}

int32_t Roster::Find(const platform::Endpoint& address) const {
    for (int32_t i = 0; i < count_; ++i) {
        if (records_[i].address.addr == address.addr) return i;
    }
    return count_;
}

void Roster::RecordAnswer(int32_t i, uint32_t missing, uint32_t totalBlocks) {
    ReceiverRecord& r = records_[i];
    if (missing == 0) {
        // Nothing missing, also when it says so later (the blocks repaired
        // for others completed it): done, and no longer passed over.
        r.done = 1;
        r.pending = 0;
        if (r.errorCode == TIVLO_CODE_TIMED_OUT) r.errorCode = 0;
        r.missed = 0;
        r.finished = true;
        return;
    }
    r.missed = missing;
    // missing / totalBlocks > 0.3, exactly; a task without blocks rates any
    // count as too many.
    if (uint64_t(missing) * 10 > uint64_t(totalBlocks) * 3) {
        r.done = 1;
        if (!r.gaveUp) r.errorCode = TIVLO_CODE_TOO_MANY_MISSED;
    }
}

void Roster::MarkPending(int32_t i, uint32_t code) {
    pendingSeen_ = true;
    if (i < 0 || i >= count_) return;
    records_[i].pending = 1;
    // A receiver that gave up keeps saying so.
    if (!records_[i].gaveUp) records_[i].errorCode = code;
}

int32_t Roster::NextMaster(int32_t current) {
    const int32_t n = count_;
    int32_t start;
    bool fromFirstPass = false;
    if (!unicastPhase_) {
        if (current == n - 1) {
            unicastPhase_ = true;
            start = 0;
            fromFirstPass = true;
        } else {
            int32_t i = current + 1;
            if (i < n) {
                while (i < n && (records_[i].errorCode != 0 || records_[i].done != 0)) ++i;
            } else {
                i = current;
            }
            if (i != n) {
                if (i != 0) recordZeroRepeats_ = 0;
                return i;
            }
            unicastPhase_ = true;
            if (!pendingSeen_) return n;
            start = 0;
            fromFirstPass = true;
        }
    } else {
        start = current;
    }

    // Second pass: the pending records after start. Coming from the first
    // pass, start 0 is the beginning of the roster and record 0 counts as
    // after it: a record 0 passed over in the first pass and alone pending
    // still gets its turn in the second (once; see the bound below).
    const bool zeroWaits = fromFirstPass && n > 0 && records_[0].pending != 0;
    int32_t j = n - 1;
    if (j == start && !zeroWaits) return n;
    while (j > start && records_[j].pending == 0) --j;
    if (j == start && !zeroWaits) return n;
    // Start 0 means the beginning of the roster, record 0 included. Right
    // after record 0 itself was master that would choose it again and again
    // while it stays silent: it gets one more turn, then the search goes on
    // from record 1.
    int32_t s = start == 0 ? -1 : start;
    if (start == 0 && !fromFirstPass && records_[0].pending != 0) {
        if (recordZeroRepeats_ >= 1) {
            s = 0;
        } else {
            ++recordZeroRepeats_;
            return 0;
        }
    }
    for (int32_t d = s + 1; d < n; ++d) {
        if (records_[d].pending != 0) {
            if (d != 0) recordZeroRepeats_ = 0;
            return d;
        }
    }
    return n;
}

int Roster::GetErrInfo(uint32_t* out) const {
    uint32_t n = 0;
    for (int32_t i = 0; i < count_; ++i) {
        if (records_[i].errorCode == 0) continue;
        out[1 + 2 * n] = records_[i].address.addr;
        out[2 + 2 * n] = records_[i].errorCode;
        ++n;
    }
    out[0] = n;
    return int(n);
}

}  // namespace tivlo::sender
