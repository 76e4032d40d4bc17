// The receivers' side of the conversation: the answer thread (Join, Ack,
// Finish, Answer), the roster, the choice of the next master, Poll and Hold,
// and the end of a transfer.
#include <algorithm>

#include "api/notify.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "protocol/packets.h"
#include "sender/server_engine.h"

namespace tivlo::sender {

namespace {

thread_local bool t_onAnswerThread = false;

// How long one read waits before the loop looks at its end flags again.
constexpr uint32_t kAnswerWaitMs = 100;

}  // namespace

bool ServerEngine::OnAnswerThread() { return t_onAnswerThread; }

void ServerEngine::AnswerLoop() {
    t_onAnswerThread = true;
    uint8_t buffer[protocol::kAnswerReadSize];
    for (;;) {
        if (FinishedOrStopped() || answerShut.load() != 0) break;
        const uint32_t wait = transferRate.load() != 0 ? std::min(kAnswerWaitMs, ResendOpenRepair()) : kAnswerWaitMs;
        platform::Endpoint from;
        int got = receiveSocket.ReceiveFromTimeout(buffer, sizeof buffer, &from, wait);
        if (got == platform::UdpSocket::kTimedOut) continue;
        if (got < 0) break;  // closed: no answer can arrive any more
        if (HandleAnswerDatagram(buffer, size_t(got), from)) break;
    }
    t_onAnswerThread = false;
}

bool ServerEngine::HandleAnswerDatagram(const uint8_t* data, size_t length, const platform::Endpoint& from) {
    // Whoever handles an answer acts as the answer thread (an abort must not
    // wait for the handling it is part of).
    const bool wasAnswerThread = t_onAnswerThread;
    t_onAnswerThread = true;
    struct Restore {
        bool value;
        ~Restore() { t_onAnswerThread = value; }
    } restore{wasAnswerThread};
    std::unique_lock<std::mutex> handling(answerLock);
    if (answerShut.load() != 0) return true;
    lastSourceAddress = from;
    if (!protocol::HasMagic(data, length) || length < 3) return false;
    bool end = false;
    switch (data[protocol::off::kType]) {
        case protocol::kJoin: end = HandleJoin(data, length); break;
        case protocol::kAck: end = HandleAck(data, length); break;
        case protocol::kFinish: end = HandleFinish(data, length, handling); break;
        case protocol::kAnswer: end = HandleAnswer(data, length); break;
        default: break;
    }
    if (end) return true;
    masterIndexSeen = masterIndex.load();
    return false;
}

bool ServerEngine::HandleJoin(const uint8_t* data, size_t length) {
    auto join = protocol::DecodeJoin({data, length});
    if (!join) return false;
    if (join->wide == 0) allReceiversWide = 0;
    AddReceiver(lastSourceAddress);
    return false;
}

int32_t ServerEngine::MasterRecordOf(const platform::Endpoint& address) const {
    int32_t m = masterIndex.load();
    if (m >= 0 && m < receiverCount.load() && roster[m].address.addr == address.addr) return m;
    return -1;
}

bool ServerEngine::HandleAck(const uint8_t* data, size_t length) {
    auto ack = protocol::DecodeAck({data, length});
    if (!ack) return false;
    lastRequestFile = ack->file;
    lastRequestBlock = ack->block;
    const bool missesNothing = ack->file > fileCount.load();
    if (MasterRecordOf(lastSourceAddress) < 0) {
        if (missesNothing) {
            SendHold(lastSourceAddress, 1);
        } else {
            // Not its turn: served in the second pass.
            SendHold(lastSourceAddress, 0);
            int32_t i = FindReceiver(lastSourceAddress);
            if (i < receiverCount.load()) {
                roster[i].pending = 1;
                roster[i].errorCode = kCodeTimedOut;
            }
            pendingSeen = 1;
        }
        return false;
    }
    if (missesNothing) {
        awaitingFirstCompletion = 0;
        openRepairAtMs = 0;
        return PollMaster(0, 0) == kNoMasterLeft;
    }
    SendRepairBlock();
    if (transferRate.load() != 0) {
        openRepairAtMs = platform::NowMs();
        openRepairFile = ack->file;
        openRepairBlock = ack->block;
        openRepairMaster = masterIndex.load();
        openRepairResends = 0;
    }
    return false;
}

uint32_t ServerEngine::ResendOpenRepair() {
    std::lock_guard<std::mutex> handling(answerLock);
    if (openRepairAtMs == 0 || answerShut.load() != 0) return kAnswerWaitMs;
    // A new request, or another master, closed it.
    if (lastRequestFile.load() != openRepairFile || lastRequestBlock.load() != openRepairBlock ||
        masterIndex.load() != openRepairMaster) {
        openRepairAtMs = 0;
        return kAnswerWaitMs;
    }
    const uint64_t due = openRepairAtMs + (uint64_t(kQuickResendMs) << openRepairResends);
    const uint64_t now = platform::NowMs();
    if (now < due) return uint32_t(due - now);
    SendRepairBlock();
    openRepairAtMs = now;
    // After that the watchdog's ticks take over, as at the fixed pace.
    if (++openRepairResends >= kQuickResends) openRepairAtMs = 0;
    return kQuickResendMs;
}

bool ServerEngine::HandleFinish(const uint8_t* data, size_t length,
                                std::unique_lock<std::mutex>& handling) {
    auto finish = protocol::DecodeFinish({data, length});
    if (!finish) return false;
    const platform::Endpoint source = lastSourceAddress;
    if (finish->code != 0) {
        // Only a receiver of the roster gives up, and only once: a Finish(1)
        // from a stranger, or a storm of them, must not end the transfer of
        // the others.
        int32_t i = FindReceiver(source);
        if (i >= receiverCount.load()) return false;
        roster[i].errorCode = kCodeDiskFull;
        if (roster[i].gaveUp.exchange(1) != 0) return false;
        failedCount.fetch_add(1);
        if (receiverCount.load() >= 1) {
            platform::Log("Tivlo......PostMessage WM_CLIENT_DISKFULL....\n");
            // The host may stop the transfer from its handler, so the
            // handling lock is not held while the host has the message.
            handling.unlock();
            api::SendClientDiskFull(hostWindow, source.addr);
            handling.lock();
            if (answerShut.load() != 0) return true;
        }
        if (failedCount.load() >= receiverCount.load()) {
            EndTransfer(0);
            return true;
        }
        return false;
    }
    const int32_t m = MasterRecordOf(source);
    if (m < 0) return false;
    ReceiverRecord& master = roster[m];
    master.pending = 0;
    master.errorCode = 0;
    masterIndex = NextMaster(m);
    return PollMaster(1, 0) == kNoMasterLeft;
}

bool ServerEngine::HandleAnswer(const uint8_t* data, size_t length) {
    auto answer = protocol::DecodeAnswer({data, length});
    if (!answer) return false;
    RecordAnswer(lastSourceAddress, answer->missing);
    return false;
}

void ServerEngine::AddReceiver(const platform::Endpoint& address) {
    int32_t n = receiverCount.load();
    if (FindReceiver(address) < n) return;
    if (n >= kRosterSize) {
        char text[16];
        platform::FormatIPv4(address.addr, text);
        platform::Logf("\nTivlo-----Roster full, receiver %s refused!\n", text);
        return;
    }
    // A record taken by a new receiver starts clean, whatever its former
    // occupant left in it.
    ReceiverRecord& r = roster[n];
    r.address = address;
    r.done = 0;
    r.pending = 0;
    r.errorCode = 0;
    r.gaveUp = 0;
    receiverCount.store(n + 1);
}

int32_t ServerEngine::FindReceiver(const platform::Endpoint& address) const {
    int32_t n = receiverCount.load();
    for (int32_t i = 0; i < n; ++i) {
        if (roster[i].address.addr == address.addr) return i;
    }
    return n;
}

void ServerEngine::RecordAnswer(const platform::Endpoint& address, uint32_t missing) {
    int32_t i = FindReceiver(address);
    if (i >= receiverCount.load()) return;
    if (missing == 0) {
        roster[i].done = 1;
        return;
    }
    // missing / totalBlocks > 0.3, exactly; a task without blocks rates any
    // count as too many.
    if (uint64_t(missing) * 10 > uint64_t(totalBlocks.load()) * 3) {
        roster[i].done = 1;
        roster[i].errorCode = kCodeTooManyMissed;
    }
}

int32_t ServerEngine::NextMaster(int32_t current) {
    const int32_t n = receiverCount.load();
    int32_t start;
    bool fromFirstPass = false;
    if (unicastPhase.load() == 0) {
        if (current == n - 1) {
            unicastPhase = 1;
            start = 0;
            fromFirstPass = true;
        } else {
            int32_t i = current + 1;
            if (i < n) {
                while (i < n && (roster[i].errorCode.load() != 0 || roster[i].done.load() != 0)) ++i;
            } else {
                i = current;
            }
            if (i != n) {
                if (i != 0) recordZeroRepeats = 0;
                return i;
            }
            unicastPhase = 1;
            if (pendingSeen.load() == 0) return n;
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
    const bool zeroWaits = fromFirstPass && n > 0 && roster[0].pending.load() != 0;
    int32_t j = n - 1;
    if (j == start && !zeroWaits) return n;
    while (j > start && roster[j].pending.load() == 0) --j;
    if (j == start && !zeroWaits) return n;
    // Start 0 means the beginning of the roster, record 0 included. Right
    // after record 0 itself was master that would choose it again and again
    // while it stays silent: it gets one more turn, then the search goes on
    // from record 1.
    int32_t s = start == 0 ? -1 : start;
    if (start == 0 && !fromFirstPass && roster[0].pending.load() != 0) {
        if (recordZeroRepeats.load() >= 1) {
            s = 0;
        } else {
            recordZeroRepeats.fetch_add(1);
            return 0;
        }
    }
    for (int32_t d = s + 1; d < n; ++d) {
        if (roster[d].pending.load() != 0) {
            if (d != 0) recordZeroRepeats = 0;
            return d;
        }
    }
    return n;
}

int ServerEngine::PollMaster(uint32_t turn, uint32_t skipFailed) {
    // A stopped or ended transfer polls nobody (and is not ended twice).
    if (FinishedOrStopped()) return kNoMasterLeft;
    int32_t m = masterIndex.load();
    if (m < 0 || m >= receiverCount.load()) {
        EndTransfer(0);
        return kNoMasterLeft;
    }
    uint8_t packet[protocol::kPollSize];
    size_t length = protocol::EncodePoll({turn}, packet);
    if (turn != 0) {
        if (skipFailed != 0 && roster[m].errorCode.load() != 0) {
            roster[m].errorCode = kCodeTimedOut;
            m = NextMaster(m);
            masterIndex = m;
            // Skipping it may leave nobody to serve.
            if (m < 0 || m >= receiverCount.load()) {
                EndTransfer(0);
                return kNoMasterLeft;
            }
        }
        masterAddress = roster[m].address;
        if (!sendSocket.SendTo(packet, length, roster[m].address)) {
            AbortTransfer();
            CloseSockets();
            platform::Log("\nSend Packet to Master Failed When Master is TRUE!");
        }
    } else {
        masterAddress = roster[m].address;
        if (!sendSocket.SendTo(packet, length, roster[m].address)) {
            platform::Log("\nTivlo-----Send Packet to Master Failed When Master is FALSE!");
            CloseSockets();
        }
    }
    return 1;
}

void ServerEngine::SendHold(const platform::Endpoint& address, uint8_t complete) {
    uint8_t packet[protocol::kHoldSize];
    size_t length = protocol::EncodeHold({complete, uint8_t(unicastPhase.load())}, packet);
    if (!sendSocket.SendTo(packet, length, address)) {
        platform::Log("\nTivlo-----Send to Master Failed!\n");
        CloseSockets();
    }
}

void ServerEngine::EndTransfer(uint32_t code) {
    if (code != 0) AbortTransfer();
    finishedFlag = 1;
    endEvent.Set();
    api::PostEnded(hostWindow, code, 0);
    platform::SleepMs(10);
}

}  // namespace tivlo::sender
