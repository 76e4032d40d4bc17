// The repair phase on the receive thread: the end-of-pass Answer, Poll,
// Hold, Repair block and the sender's Finish, and the Ack.
#include "api/notify.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "protocol/blocks.h"
#include "receiver/client_engine.h"

namespace tivlo::receiver {

namespace {

constexpr uint32_t kCompletePauseMs = 100;

}  // namespace

bool ClientEngine::TakeInPass() {
    platform::LockGuard guard(inPassLock);
    if (inPass == 0) return false;
    inPass = 0;
    return true;
}

bool ClientEngine::EndOfPassAnswer() {
    // What the stream never showed: the rest of the last file seen, and
    // every file after it (block 0 standing for the whole file).
    {
        platform::LockGuard guard(missingLock);
        if (streamPos.file != 0) {
            for (uint64_t b = uint64_t(streamPos.block) + 1; b <= streamPos.count; ++b)
                StoreMissing(missing, streamPos.file, uint32_t(b));
        }
        for (uint64_t f = uint64_t(streamPos.file) + 1; f <= fileCount; ++f) StoreMissing(missing, uint32_t(f), 0);
    }
    // The in-pass flag is clear: the gap thread ends once its list is empty.
    gapDone.Wait(kGapWaitMs);

    const size_t count = MissingCount();
    uint8_t packet[protocol::kAnswerSize];
    const size_t size = protocol::EncodeAnswer(protocol::Answer{uint32_t(count)}, packet);
    const platform::Endpoint to{replyAddress.load(), uint16_t(dataPort + protocol::kAnswerPortOffset)};
    if (!dataSocket.SendTo(packet, size, to)) platform::Log("\nTivlo-----Send Answer Failed!\n");
    if (count != 0) return false;
    SetEnded(1);
    platform::SleepMs(kCompletePauseMs);
    return true;
}

void ClientEngine::ChooseWanted() {
    platform::LockGuard guard(missingLock);
    if (missing.empty()) {
        wantedFile = fileCount + 1;
        wantedBlock = 0;
        return;
    }
    // Whichever entry an iteration yields first.
    const MissingEntry& first = missing.begin()->second;
    wantedFile = first.file;
    wantedBlock = first.block;
}

int ClientEngine::SendAck() {
    platform::Log("\nTivlo-----Client Send ACK !\n");
    if (turnFlag == 0) return 0;
    uint8_t packet[protocol::kAckSize];
    const size_t size = protocol::EncodeAck(protocol::Ack{wantedFile, wantedBlock}, packet);
    const platform::Endpoint to{replyAddress.load(), uint16_t(dataPort + protocol::kAnswerPortOffset)};
    if (!dataSocket.SendTo(packet, size, to)) {
        platform::Log("\nTivlo-----Client Send ACK Failed!\n");
        return 0;
    }
    if (wantedFile != ackedFile || wantedBlock != ackedBlock) ackRepeats = 0;
    ackedFile = wantedFile;
    ackedBlock = wantedBlock;
    ackedAtMs = platform::NowMs();
    return 1;
}

void ClientEngine::RepeatStalledAck() {
    // Only a served master that still wants a block repeats itself; a
    // complete one waits for the sender's Poll.
    if (turnFlag == 0 || ackedFile == 0 || ackedFile > fileCount) return;
    if (ackedFile != wantedFile || ackedBlock != wantedBlock) return;
    if (ackRepeats >= kMaxAckRepeats || platform::NowMs() - ackedAtMs < kAckRepeatMs) return;
    ++ackRepeats;
    SendAck();
}

bool ClientEngine::HandlePoll(const uint8_t* packet, size_t length) {
    auto poll = protocol::DecodePoll(protocol::Datagram(packet, length));
    if (!poll) return false;
    // Every copy of the sender's Finish may have been lost: the Poll then
    // closes the pass, so that the tail of the stream is counted.
    if (TakeInPass() && EndOfPassAnswer()) {
        // Nothing is missing and this receiver is master: its Finish (0)
        // moves the sender on.
        SendFinish(0);
        return true;
    }
    turnFlag = poll->turn;
    if (poll->turn == 0) {
        if (MissingEmpty() && GapsEmpty()) {
            SendFinish(0);
            SetEnded(1);
            return true;
        }
        turnFlag = 1;
    }
    if (GapsEmpty()) {
        ChooseWanted();
    } else {
        // Gaps still being counted: nothing can be named yet.
        wantedFile = fileCount + 1;
        wantedBlock = 0;
    }
    SendAck();
    return false;
}

bool ClientEngine::HandleHold(const uint8_t* packet, size_t length) {
    auto hold = protocol::DecodeHold(protocol::Datagram(packet, length));
    if (!hold) return false;
    if (TakeInPass() && EndOfPassAnswer()) return true;
    if ((hold->complete != 0 && GapsEmpty() && MissingEmpty()) || hold->unicastPhase != 0) {
        SetEnded(1);
        return true;
    }
    turnFlag = 0;
    return false;
}

bool ClientEngine::HandleRepairBlock(const uint8_t* packet, size_t length) {
    auto block = protocol::DecodeBlock(protocol::Datagram(packet, length));
    if (!block || block->type != protocol::kRepairBlock) return false;
    if (block->file == 0 || block->file > fileCount || block->block > block->lastIndex ||
        block->lastIndex >= totalBlocks || block->lastLength > protocol::kBlockSize)
        return false;
    const uint32_t dataLength = protocol::BlockDataLength(block->block, block->lastIndex, block->lastLength);
    if (block->data.size() < dataLength) return false;
    if (!AcceptFileShape(block->file, block->lastIndex)) return false;

    if (TakeInPass() && EndOfPassAnswer()) return true;

    const uint32_t f = block->file;
    const uint32_t k = block->block;
    if (GapsEmpty() && MissingEmpty()) {
        wantedFile = fileCount + 1;
        wantedBlock = 0;
        SendAck();
        return false;
    }

    const MissingKey key = MakeMissingKey(f, k);
    bool wanted;
    {
        platform::LockGuard guard(missingLock);
        wanted = missing.contains(key);
    }
    if (wanted) {
        if (!Queue(packet, protocol::kBlockHeadSize + dataLength, kRepairSlotWaitMs)) {
            // Every buffer still waits for the disk: the block stays missing,
            // and the master asks for it again.
            if (turnFlag != 0) {
                ChooseWanted();
                SendAck();
            }
            return false;
        }
        {
            platform::LockGuard guard(missingLock);
            RemoveMissing(missing, key);
        }
        // Before the file counts as touched: a file of which this task has
        // queued no block is registered whole.
        if (k == 0) ProcessLost(*block);
        touchedThisTask.insert(f);
        announcedName = ConvertName(block->name, block->nameCount);
        api::PostCurrentFile(hostWindow, announcedName);
        const bool nowComplete = MissingEmpty();
        ChooseWanted();
        SendAck();
        if (nowComplete) return false;  // the position stays
        streamPos.file = f;
        streamPos.block = k;
        return false;
    }
    // Not needed here: the master asks for the next block it wants, unless
    // this one answered its own request.
    if (turnFlag != 0 && k != streamPos.block && f != streamPos.file) {
        ChooseWanted();
        SendAck();
    }
    streamPos.file = f;
    streamPos.block = k;
    return false;
}

bool ClientEngine::HandleFinish(const uint8_t* packet, size_t length) {
    (void)packet;
    (void)length;
    if (!TakeInPass()) return false;
    if (!EndOfPassAnswer()) return false;
    platform::Log("\n-------------Receive");
    return true;
}

}  // namespace tivlo::receiver
