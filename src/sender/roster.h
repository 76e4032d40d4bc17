// The sender's roster: the receivers that joined, in order of joining, their
// state in the repair phase, and the choice of the next master.
#pragma once

#include <cstdint>

#include "platform/endpoint.h"

namespace tivlo::sender {

struct ReceiverRecord {
    platform::Endpoint address;
    uint32_t done = 0;       // needs no repair: nothing missing, or too much
    uint32_t pending = 0;    // still needs repair: served in the second pass
    uint32_t errorCode = 0;  // what GetErrInfo reports
    bool gaveUp = false;     // sent a Finish(1); counts once among the failed
    bool finished = false;   // sent its Finish(0) as master
    uint32_t missed = 0;     // blocks its Answer said it missed
    uint32_t repaired = 0;   // Repair blocks sent while it was master
};

class Roster {
public:
    static constexpr int32_t kCapacity = 200;

    // A new session: nobody joined, first pass.
    void Reset();
    // A new transfer to the same receivers: what the last one left of each
    // (codes, repairs, its pass) is forgotten.
    void NewTransfer();

    enum class Added { New, Known, Full };
    Added Add(const platform::Endpoint& address);
    // Index of the receiver with this IPv4 address (ports are never
    // compared); count() when there is none.
    int32_t Find(const platform::Endpoint& address) const;
    int32_t count() const { return count_; }
    ReceiverRecord& operator[](int32_t i) { return records_[i]; }
    const ReceiverRecord& operator[](int32_t i) const { return records_[i]; }

    // An Answer: nothing missing makes it done; more than 30 % of the task's
    // blocks makes it done with code 1 (not repaired).
    void RecordAnswer(int32_t i, uint32_t missing, uint32_t totalBlocks);

    // The next receiver to serve after current (-1: before the first), or
    // count() when nobody is left. A first pass in roster order over the
    // receivers without a code; then a second pass (the unicast phase) over
    // the pending ones.
    int32_t NextMaster(int32_t current);
    bool unicastPhase() const { return unicastPhase_; }
    void MarkPending(int32_t i, uint32_t code);
    bool pendingSeen() const { return pendingSeen_; }

    // Writes n and the n pairs (address, code) of the receivers that carry a
    // code, in roster order; returns n.
    int GetErrInfo(uint32_t* out) const;

private:
    ReceiverRecord records_[kCapacity];
    int32_t count_ = 0;
    bool unicastPhase_ = false;
    bool pendingSeen_ = false;
    // Times record 0 was chosen again right after itself in the second pass;
    // bounds how often a silent record 0 is polled while others wait.
    uint32_t recordZeroRepeats_ = 0;
};

}  // namespace tivlo::sender
