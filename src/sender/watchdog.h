// The repair watchdog: keeps the repair phase moving when receivers fall
// silent. It sends a Repair block again when the master's request stays open,
// polls again a master that does not answer, passes over masters that time
// out, and gives up with 1460 when nobody answers at all.
//
// It is a function of ticks: the sender calls Tick when the delay Tick
// returned last has passed, and the watchdog acts through its context.
#pragma once

#include <bitset>
#include <cstdint>

#include "protocol/time.h"

namespace tivlo::sender {

class WatchdogContext {
public:
    virtual ~WatchdogContext() = default;
    // The master's latest request (file 0, block 0: no Ack yet).
    virtual uint32_t RequestFile() const = 0;
    virtual uint32_t RequestBlock() const = 0;
    virtual uint32_t FileCount() const = 0;
    virtual int32_t Master() const = 0;
    virtual void SetMaster(int32_t index) = 0;
    // The master has sent something since it was appointed.
    virtual bool MasterHasSpoken() const = 0;
    virtual int32_t ReceiverCount() const = 0;
    virtual bool AwaitingFirstCompletion() const = 0;
    virtual int32_t NextMaster(int32_t current) = 0;
    // False when nobody was left to poll and the transfer has ended.
    virtual bool PollMaster(uint32_t turn, uint32_t skipFailed) = 0;
    virtual void ResendRepair() = 0;
    // The master is passed over: pending, with 1460.
    virtual void MarkMasterTimedOut() = 0;
    // Every unfinished receiver gets 1460 and the transfer ends with it.
    virtual void GiveUp() = 0;
    // The transfer has ended (by the watchdog or otherwise).
    virtual bool Ended() const = 0;
};

class Watchdog {
public:
    static constexpr protocol::Time kFirstTick = protocol::Ms(1000);
    static constexpr protocol::Time kTick = protocol::Ms(500);

    explicit Watchdog(WatchdogContext& context) : context_(context) {}

    // Counters to zero; the first tick is due kFirstTick later.
    void Start();
    // One tick; the delay until the next one, or kNever once it has ended.
    protocol::Time Tick();

private:
    // The part of a tick after the master's request has been read.
    protocol::Time CheckRequest();

    WatchdogContext& context_;
    // The request as it stood at the previous tick, once one was noted.
    bool noted_ = false;
    uint32_t lastFile_ = 0;
    uint32_t lastBlock_ = 0;
    int silentPolls_ = 0;
    int idleTicks_ = 0;
    int finishPolls_ = 0;
    int newMasterTicks_ = 0;
    int firstMasterTimeouts_ = 0;
    // After a Poll sent because no Ack came, the rest of the tick follows
    // half a tick later.
    bool checkPending_ = false;
    // The master the counters are about: a new one starts them afresh.
    int32_t countedMaster_ = -1;
    // Masters passed over because they never answered any Poll: when the
    // choice comes back to one of them, nobody is left who answers.
    std::bitset<200> passedSilent_;
    bool anyPassedSilent_ = false;
};

}  // namespace tivlo::sender
