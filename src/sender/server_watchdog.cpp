// The repair watchdog: ticks every 500 ms from the end of the stream until
// the transfer ends. It sends a Repair block again when the master's request
// stays open, polls again a master that does not answer, passes over masters
// that time out, and gives up with 1460 when nobody answers at all.
#include <bitset>

#include "platform/log.h"
#include "sender/server_engine.h"

namespace tivlo::sender {

namespace {

constexpr uint32_t kTickMs = 500;

}  // namespace

void ServerEngine::WatchdogLoop() {
    uint32_t lastFile = 0;
    uint32_t lastBlock = 0;
    int silentPolls = 0;
    int idleTicks = 0;
    int finishPolls = 0;
    int newMasterTicks = 0;
    int firstMasterTimeouts = 0;
    // Masters passed over because they never answered any Poll: when the
    // choice comes back to one of them, nobody is left who answers.
    std::bitset<kRosterSize> passedSilent;
    bool anyPassedSilent = false;

    auto pause = [this](uint32_t ms) { endEvent.Wait(ms); };
    auto markMasterTimedOut = [this] {
        int32_t m = masterIndex.load();
        pendingSeen = 1;
        if (m >= 0 && m < receiverCount.load()) {
            roster[m].pending = 1;
            roster[m].errorCode = kCodeTimedOut;
        }
    };
    auto giveUp = [this] {
        MarkUnfinished(kCodeTimedOut);
        EndTransfer(kCodeTimedOut);
    };

    pause(1000);
    if (FinishedOrStopped()) return;
    for (;;) {
        if (FinishedOrStopped()) return;
        bool skipTickPause = false;

        // No Ack at all since the stream.
        if (lastRequestFile.load() == 0 && lastRequestBlock.load() == 0) {
            if (silentPolls > 3) {
                // The master never answered: pass it over like a master that
                // timed out, so one dead receiver does not stall the others.
                int32_t m = masterIndex.load();
                markMasterTimedOut();
                if (m >= 0 && m < kRosterSize) passedSilent.set(size_t(m));
                anyPassedSilent = true;
                int32_t next = NextMaster(m);
                if (next < 0 || next >= receiverCount.load() || passedSilent.test(size_t(next))) {
                    giveUp();
                    return;
                }
                masterIndex = next;
                silentPolls = 0;
                if (PollMaster(1, 0) == kNoMasterLeft) return;
            } else {
                // Until a master is passed over, the choice is made afresh:
                // an Answer that came late may have made the first one done.
                if (!anyPassedSilent) masterIndex = NextMaster(-1);
                if (PollMaster(1, anyPassedSilent ? 0 : 1) == kNoMasterLeft) return;
                ++silentPolls;
            }
            pause(kTickMs);
        }

        const uint32_t file = lastRequestFile.load();
        const uint32_t block = lastRequestBlock.load();
        if (lastFile == 0 || lastFile != file || lastBlock != block) {
            // An Ack has come since the previous tick.
            lastFile = file;
            lastBlock = block;
            idleTicks = 0;
        } else if (file > fileCount.load()) {
            // A master said it misses nothing.
            if (masterIndex.load() == masterIndexSeen.load()) {
                ++finishPolls;
                if (finishPolls > 3) {
                    masterIndex = NextMaster(masterIndex.load());
                    if (PollMaster(1, 0) == kNoMasterLeft) return;
                    finishPolls = 0;
                    skipTickPause = true;
                } else if (finishPolls > 1) {
                    if (PollMaster(0, 0) == kNoMasterLeft) return;
                }
            } else {
                // A new master has not answered yet.
                finishPolls = 0;
                if (PollMaster(1, 0) == kNoMasterLeft) return;
                ++newMasterTicks;
                if (newMasterTicks > 8) {
                    markMasterTimedOut();
                    masterIndex = NextMaster(masterIndex.load());
                    if (PollMaster(1, 0) == kNoMasterLeft) return;
                    newMasterTicks = 0;
                    skipTickPause = true;
                }
            }
        } else {
            // The master's request is still open.
            newMasterTicks = 0;
            ++idleTicks;
            if (idleTicks == 2) {
                SendRepairBlock();
            } else if (idleTicks >= 9) {
                if (awaitingFirstCompletion.load() == 1) {
                    if (firstMasterTimeouts > 2) {
                        giveUp();
                        return;
                    }
                    ++firstMasterTimeouts;
                    lastFile = 0;
                    lastBlock = 0;
                    markMasterTimedOut();
                    if (receiverCount.load() == 1) {
                        giveUp();
                        return;
                    }
                    masterIndex = NextMaster(masterIndex.load());
                    PollMaster(1, 0);
                    pause(kTickMs);
                    skipTickPause = true;
                } else {
                    int32_t n = receiverCount.load();
                    if (n >= 1 && masterIndex.load() < n) {
                        markMasterTimedOut();
                        masterIndex = NextMaster(masterIndex.load());
                        if (PollMaster(1, 0) == kNoMasterLeft) return;
                    }
                    lastBlock = 0;
                    idleTicks = 0;
                    lastFile = 1;
                }
            }
        }

        if (!skipTickPause) pause(kTickMs);
    }
}

}  // namespace tivlo::sender
