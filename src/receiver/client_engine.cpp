#include "receiver/client_engine.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "protocol/blocks.h"
#include "tivlo/tivlo.h"

namespace tivlo::receiver {

static_assert(kCodeDiskFull == TIVLO_CODE_DISK_FULL && kCodeCreateFailed == TIVLO_CODE_CREATE_FAILED &&
              kCodeNotFixed == TIVLO_CODE_NOT_FIXED && kCodeSendFailed == TIVLO_CODE_SEND_FAILED &&
              kCodeSenderLost == TIVLO_CODE_SENDER_LOST && kCodePathTooLong == TIVLO_CODE_PATH_TOO_LONG &&
              kCodeIncomplete == TIVLO_CODE_INCOMPLETE);
static_assert(kAllBitsMode == TIVLO_TARGET_MODE_PATH);

ClientEngine::ClientEngine()
    : writeBuffer(new uint8_t[size_t(kWriteBufferBlocks) * protocol::kBlockSize]()) {}

ClientEngine::~ClientEngine() {
    // A host that never called DeInitClient still gets its threads stopped
    // and joined before the fields they use go away.
    CloseAll();
    for (platform::Thread* t : {&receiveThread, &writeThread, &gapThread, &reportThread}) t->Join();
    if (fileOpen) {
        currentFile.Close();
        fileOpen = 0;
    }
}

bool ClientEngine::Ended() {
    platform::LockGuard guard(endedLock);
    return ended != 0;
}

void ClientEngine::SetEnded(uint32_t value) {
    platform::LockGuard guard(endedLock);
    ended = value;
}

bool ClientEngine::Stopped() {
    platform::LockGuard guard(stopLock);
    return stop != 0;
}

void ClientEngine::SetStop() {
    platform::LockGuard guard(stopLock);
    stop = 1;
}

bool ClientEngine::EndedOrStopped() {
    platform::LockGuard endedGuard(endedLock);
    platform::LockGuard stopGuard(stopLock);
    return ended != 0 || stop != 0;
}

bool ClientEngine::InPass() {
    platform::LockGuard guard(inPassLock);
    return inPass != 0;
}

size_t ClientEngine::MissingCount() {
    platform::LockGuard guard(missingLock);
    return missing.size();
}

bool ClientEngine::MissingEmpty() { return MissingCount() == 0; }

bool ClientEngine::GapsEmpty() {
    platform::LockGuard guard(gapLock);
    return gapList.empty();
}

size_t ClientEngine::QueuedCount() {
    platform::LockGuard guard(queueLock);
    return queueCount;
}

void ClientEngine::AllocateBlockPool() {
    platform::LockGuard guard(queueLock);
    if (blockPool) return;
    blockPoolSize = std::max<uint32_t>(blockPoolCapacity, 1);
    blockPool.reset(new QueuedBlock[blockPoolSize]);
    freeSlots.clear();
    freeSlots.reserve(blockPoolSize);
    for (uint32_t i = blockPoolSize; i > 0; --i) freeSlots.push_back(i - 1);
    queueRing.assign(blockPoolSize, 0);
    queueHead = 0;
    queueCount = 0;
}

bool ClientEngine::Queue(const uint8_t* packet, size_t length, uint32_t waitMs) {
    if (length > protocol::kMaxBlockPacket) length = protocol::kMaxBlockPacket;
    uint32_t slot = 0;
    const uint64_t deadline = platform::NowMs() + waitMs;
    for (;;) {
        {
            platform::LockGuard guard(queueLock);
            if (!freeSlots.empty()) {
                slot = freeSlots.back();
                freeSlots.pop_back();
                break;
            }
        }
        // Every buffer waits for the disk.
        if (waitMs == 0 || platform::NowMs() >= deadline || Stopped()) {
            poolOverflows.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        platform::SleepMs(1);
    }
    // The buffer is ours alone until it is in the ring.
    QueuedBlock& block = blockPool[slot];
    block.generation = taskGeneration.load(std::memory_order_relaxed);
    block.length = uint32_t(length);
    std::memcpy(block.bytes.data(), packet, length);
    platform::LockGuard guard(queueLock);
    queueRing[(queueHead + queueCount) % blockPoolSize] = slot;
    ++queueCount;
    queuePeak = std::max(queuePeak, queueCount);
    return true;
}

QueuedBlock* ClientEngine::TakeQueued() {
    platform::LockGuard guard(queueLock);
    if (queueCount == 0) return nullptr;
    const uint32_t slot = queueRing[queueHead];
    queueHead = (queueHead + 1) % blockPoolSize;
    --queueCount;
    return &blockPool[slot];
}

void ClientEngine::ReleaseQueued(QueuedBlock* block) {
    platform::LockGuard guard(queueLock);
    freeSlots.push_back(uint32_t(block - blockPool.get()));
}

void ClientEngine::AppendGap(const GapRecord& record) {
    platform::LockGuard guard(gapLock);
    gapList.push_back(record);
}

std::u16string ClientEngine::TargetRoot() const {
    platform::LockGuard guard(rootLock);
    return targetRoot;
}

void ClientEngine::SetTargetRoot(const std::u16string& root) {
    platform::LockGuard guard(rootLock);
    targetRoot = root;
}

}  // namespace tivlo::receiver
