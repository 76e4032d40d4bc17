#include "sender/watchdog.h"

namespace tivlo::sender {

using protocol::kNever;
using protocol::Time;

void Watchdog::Start() {
    lastFile_ = lastBlock_ = 0;
    noted_ = false;
    silentPolls_ = idleTicks_ = finishPolls_ = newMasterTicks_ = firstMasterTimeouts_ = 0;
    checkPending_ = false;
    countedMaster_ = -1;
    passedSilent_.reset();
    anyPassedSilent_ = false;
}

Time Watchdog::Tick() {
    WatchdogContext& c = context_;
    if (c.Ended()) return kNever;
    if (checkPending_) {
        checkPending_ = false;
        return CheckRequest();
    }
    // No Ack at all since the stream.
    if (c.RequestFile() == 0 && c.RequestBlock() == 0) {
        if (silentPolls_ > 3) {
            // The master never answered: pass it over like a master that
            // timed out, so one dead receiver does not stall the others.
            const int32_t m = c.Master();
            c.MarkMasterTimedOut();
            if (m >= 0 && m < int32_t(passedSilent_.size())) passedSilent_.set(size_t(m));
            anyPassedSilent_ = true;
            const int32_t next = c.NextMaster(m);
            if (next < 0 || next >= c.ReceiverCount() || passedSilent_.test(size_t(next))) {
                c.GiveUp();
                return kNever;
            }
            c.SetMaster(next);
            silentPolls_ = 0;
            if (!c.PollMaster(1, 0)) return kNever;
        } else {
            // Until a master is passed over, the choice is made afresh: an
            // Answer that came late may have made the first one done.
            if (!anyPassedSilent_) c.SetMaster(c.NextMaster(-1));
            if (!c.PollMaster(1, anyPassedSilent_ ? 0 : 1)) return kNever;
            ++silentPolls_;
        }
        checkPending_ = true;
        return kTick;
    }
    return CheckRequest();
}

Time Watchdog::CheckRequest() {
    WatchdogContext& c = context_;
    if (c.Ended()) return kNever;
    if (c.Master() != countedMaster_) {
        countedMaster_ = c.Master();
        idleTicks_ = finishPolls_ = newMasterTicks_ = 0;
    }
    const uint32_t file = c.RequestFile();
    const uint32_t block = c.RequestBlock();
    if (!noted_ || (lastFile_ == 0 && lastBlock_ == 0) || lastFile_ != file || lastBlock_ != block) {
        // An Ack has come since the previous tick (or none at all yet: the
        // Polls of the silent branch are the only ones then). An Ack that
        // names file 0 is a request like any other: it times out.
        noted_ = true;
        lastFile_ = file;
        lastBlock_ = block;
        idleTicks_ = 0;
        return kTick;
    }
    if (!c.MasterHasSpoken()) {
        // A new master has not answered yet: polled at every tick, passed
        // over at the ninth.
        finishPolls_ = 0;
        if (!c.PollMaster(1, 0)) return kNever;
        if (++newMasterTicks_ > 8) {
            // Before any master completed, the fourth timeout gives up.
            if (c.AwaitingFirstCompletion() && firstMasterTimeouts_++ > 2) {
                c.GiveUp();
                return kNever;
            }
            c.MarkMasterTimedOut();
            c.SetMaster(c.NextMaster(c.Master()));
            if (!c.PollMaster(1, 0)) return kNever;
            newMasterTicks_ = 0;
            return 0;
        }
        return kTick;
    }
    if (file > c.FileCount()) {
        // The master said it misses nothing but sends no Finish: Poll (0)
        // again at the second and third tick, the next master at the fourth.
        // Without its Finish (0) it is not counted complete.
        if (++finishPolls_ > 3) {
            c.MarkMasterTimedOut();
            c.SetMaster(c.NextMaster(c.Master()));
            if (!c.PollMaster(1, 0)) return kNever;
            finishPolls_ = 0;
            return 0;  // the new master is looked at again at once
        }
        if (finishPolls_ > 1 && !c.PollMaster(0, 0)) return kNever;
        return kTick;
    }
    // The master's request is still open.
    newMasterTicks_ = 0;
    ++idleTicks_;
    if (idleTicks_ == 2) {
        c.ResendRepair();
    } else if (idleTicks_ >= 9) {
        if (c.AwaitingFirstCompletion()) {
            if (firstMasterTimeouts_ > 2) {
                c.GiveUp();
                return kNever;
            }
            ++firstMasterTimeouts_;
            noted_ = false;
            c.MarkMasterTimedOut();
            if (c.ReceiverCount() == 1) {
                c.GiveUp();
                return kNever;
            }
            c.SetMaster(c.NextMaster(c.Master()));
            c.PollMaster(1, 0);
            return c.Ended() ? kNever : kTick;
        }
        const int32_t n = c.ReceiverCount();
        if (n >= 1 && c.Master() < n) {
            c.MarkMasterTimedOut();
            c.SetMaster(c.NextMaster(c.Master()));
            if (!c.PollMaster(1, 0)) return kNever;
        }
        lastBlock_ = 0;
        idleTicks_ = 0;
        lastFile_ = 1;
    }
    return c.Ended() ? kNever : kTick;
}

}  // namespace tivlo::sender
