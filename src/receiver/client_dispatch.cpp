// The receive thread: the receive loop and the packets of the stream pass.
#include <algorithm>
#include <cstring>
#include <vector>

#include "api/notify.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "protocol/blocks.h"
#include "receiver/client_engine.h"

namespace tivlo::receiver {

namespace {

constexpr uint32_t kGiveUpPauseMs = 100;
constexpr uint32_t kNotifyPauseMs = 10;

}  // namespace

void ClientEngine::ReceiveLoop() {
    std::vector<uint8_t> buffer(protocol::kMaxDatagram, 0);
    threadStartPending = true;
    for (;;) {
        if (EndedOrStopped()) break;
        RepeatStalledAck();

        // A bounded wait, so that a tear-down is seen even when the group
        // is silent.
        platform::Endpoint from;
        int received = dataSocket.ReceiveFromTimeout(buffer.data(), buffer.size(), &from, kReceivePollMs);
        if (received < 0) {
            // No datagram. A socket closed under us fails at once: do not
            // spin until the stop flag is seen.
            if (received != platform::UdpSocket::kTimedOut && !dataSocket.IsOpen()) platform::SleepMs(10);
            continue;
        }
        if (HandleDatagram(buffer.data(), size_t(received), from)) break;
    }
    receiveDone.Set();
}

bool ClientEngine::HandleDatagram(const uint8_t* buffer, size_t length, const platform::Endpoint& from) {
    if (!protocol::HasMagic(buffer, length)) return false;
    sourceAddress = from;
    replyAddress.store(from.addr);
    if (length <= protocol::off::kType) return false;

    bool endThread = false;
    switch (buffer[protocol::off::kType]) {
        case protocol::kCollect: endThread = HandleCollect(); break;
        case protocol::kTask:
            endThread = HandleTask(buffer, length);
            if (!endThread && taskAccepted && threadStartPending) {
                // The gap thread and the report listener start at the first
                // Task that passes the disk check.
                StartGapThread();
                StartReportListener();
                threadStartPending = false;
            }
            if (!endThread && taskAccepted) api::PostStarted(hostWindow, fileCount, totalBlocks);
            break;
        case protocol::kStop: endThread = HandleStop(); break;
        case protocol::kEmptyDirectories: endThread = HandleEmptyDirectories(buffer, length); break;
        case protocol::kDataBlock: endThread = HandleDataBlock(buffer, length); break;
        case protocol::kServerOs: endThread = HandleServerOs(buffer, length); break;
        case protocol::kPoll: endThread = HandlePoll(buffer, length); break;
        case protocol::kHold: endThread = HandleHold(buffer, length); break;
        case protocol::kRepairBlock: endThread = HandleRepairBlock(buffer, length); break;
        case protocol::kFinish: endThread = HandleFinish(buffer, length); break;
        default: break;
    }
    return endThread;
}

bool ClientEngine::AcceptFileShape(uint32_t file, uint32_t lastIndex) {
    auto known = fileShapes.find(file);
    if (known != fileShapes.end()) return known->second == lastIndex;
    // Every file of the task has at least one block: the files not seen
    // yet keep one each.
    const uint64_t unseenOthers = uint64_t(fileCount) - fileShapes.size() - 1;
    if (claimedBlocks + uint64_t(lastIndex) + 1 + unseenOthers > totalBlocks) return false;
    fileShapes.emplace(file, lastIndex);
    claimedBlocks += uint64_t(lastIndex) + 1;
    return true;
}

void ClientEngine::AnnounceName(const uint8_t* field, uint32_t count) {
    const uint32_t wide = nameWide.load(std::memory_order_relaxed);
    // The characters that count (the terminator included); whatever lies
    // behind them in the field is not part of the name.
    const uint32_t bytes =
        uint32_t(std::min<uint64_t>(uint64_t(count) * (wide == 1 ? 2 : 1), protocol::kNameFieldBytes));
    if (wide == announcedWide && count == announcedCount && bytes == announcedFieldBytes &&
        std::memcmp(field, announcedField.data(), bytes) == 0)
        return;
    announcedName = ConvertName(field, count);
    std::memcpy(announcedField.data(), field, bytes);
    announcedFieldBytes = bytes;
    announcedCount = count;
    announcedWide = wide;
}

bool ClientEngine::HandleCollect() {
    if (SendJoin() == 0) {
        SetStop();
        NotifyHost(kCodeSendFailed);
    }
    return false;
}

bool ClientEngine::HandleTask(const uint8_t* packet, size_t length) {
    auto task = protocol::DecodeTask(protocol::Datagram(packet, length));
    if (!task) return false;
    // Every file has at least one block: a task claiming more files than
    // blocks is no task of a sender.
    if (task->fileCount > task->totalBlocks) return false;

    // The sender sends each Task three times; only a different Task, or one
    // after the pass has closed, begins a new task (and with it new files).
    const bool repeat = InPass() && taskGeneration.load() != 0 &&
                        std::memcmp(lastTask.data(), packet, protocol::kTaskSize) == 0;
    if (!repeat) {
        std::memcpy(lastTask.data(), packet, protocol::kTaskSize);
        taskGeneration.fetch_add(1);
        touchedThisTask.clear();
    }

    DestoryAll();
    SetEnded(0);
    bool restartGapThread = false;
    {
        platform::LockGuard guard(inPassLock);
        inPass = 1;
        // A gap thread that already ended with the previous pass is started
        // again for this one (the first one is started by the loop).
        restartGapThread = gapThreadActive == 0 && gapThread.Running();
    }
    taskAccepted = 0;
    ackedFile = 0;
    streamPos = StreamPosition{};
    fileCount = task->fileCount;
    totalBlocks = task->totalBlocks;
    fileShapes.clear();
    claimedBlocks = 0;

    ResolveTargetPath(task->mode, ConvertName(task->path.bytes.data(), task->path.count));
    if (!TargetRootAllowed()) {
        GiveUp(kCodeNotFixed);
        return true;
    }

    // In 64 bits: a task of more than 4 GiB is not taken for a small one.
    const uint32_t result = CheckDiskSpace(uint64_t(task->totalBlocks) * protocol::kBlockSize);
    if (result == 0) {
        GiveUp(kCodeDiskFull);
        return true;
    }
    if (result == kCodeNotFixed) {
        GiveUp(kCodeNotFixed);
        return true;
    }
    taskAccepted = 1;
    if (restartGapThread) StartGapThread();
    return false;
}

void ClientEngine::GiveUp(uint32_t code) {
    SendFinish(1);
    platform::SleepMs(kGiveUpPauseMs);
    NotifyHost(code);
    platform::SleepMs(kNotifyPauseMs);
}

bool ClientEngine::HandleStop() {
    NotifyHost(0);
    return false;
}

bool ClientEngine::HandleEmptyDirectories(const uint8_t* packet, size_t length) {
    // Before a task is accepted there is no target root to create them in.
    if (!taskAccepted) return false;
    auto dirs = protocol::DecodeEmptyDirectories(protocol::Datagram(packet, length));
    if (!dirs || dirs->count < 1) return false;
    const std::u16string root = TargetRoot();
    const size_t entries = std::min(dirs->names.size(), size_t(dirs->count));
    for (size_t i = 0; i < entries; ++i) {
        std::u16string name;
        std::u16string relative;
        const bool safe =
            ReadWireName(dirs->names[i], dirs->counts[i], &name) && WireNameToRelative(name, false, &relative);
        const std::u16string path = root + relative;
        if (!safe || path.size() > kMaxTargetPath) {
            SendFinish(1);
            NotifyHost(kCodePathTooLong);
            return true;
        }
        CreatePath(path);
    }
    return false;
}

bool ClientEngine::HandleDataBlock(const uint8_t* packet, size_t length) {
    auto block = protocol::DecodeBlock(protocol::Datagram(packet, length));
    if (!block || block->type != protocol::kDataBlock || block->streamFlag == 0) return false;
    // Only a block that fits the task and carries all its bytes is taken:
    // whatever else sits in the buffer never reaches a file.
    if (block->file == 0 || block->file > fileCount || block->block > block->lastIndex ||
        block->lastIndex >= totalBlocks || block->lastLength > protocol::kBlockSize)
        return false;
    const uint32_t dataLength =
        protocol::BlockDataLength(block->block, block->lastIndex, block->lastLength);
    if (block->data.size() < dataLength) return false;
    if (!AcceptFileShape(block->file, block->lastIndex)) return false;

    if (Queue(packet, protocol::kBlockHeadSize + dataLength)) {
        touchedThisTask.insert(block->file);
    } else if (InPass()) {
        // No buffer free: the block is lost as if the network had lost it,
        // and repaired like one.
        platform::LockGuard guard(missingLock);
        StoreMissing(missing, block->file, block->block);
    }

    AnnounceName(block->name, block->nameCount);
    api::PostCurrentFile(hostWindow, announcedName);

    // Gap detection. The block expected next follows the position: the next
    // block of its file, or block 0 of the next file once its last block was
    // seen (file 0 before anything was seen). Any block beyond that reveals
    // a gap. After the pass has closed every unseen block is registered
    // already, so late blocks record nothing. Within the pass the position
    // only moves forward: a block from behind it (reordered, repeated) was
    // either registered already or is written now, and going back would make
    // the next block record the same gap again.
    const uint32_t f = block->file;
    const uint32_t k = block->block;
    const uint32_t w = block->lastIndex;
    uint64_t expectFile = streamPos.file;
    uint64_t expectBlock = uint64_t(streamPos.block) + 1;
    if (streamPos.block >= streamPos.count) {
        expectFile = uint64_t(streamPos.file) + 1;
        expectBlock = 0;
    }
    const bool gap = f > expectFile || (f == expectFile && k > expectBlock);
    const bool inPass = InPass();
    if (gap && inPass) {
        stagingGap = GapRecord{streamPos.file, streamPos.block, streamPos.count, f, k, w};
        AppendGap(stagingGap);
    }
    const bool behind = f < streamPos.file || (f == streamPos.file && k <= streamPos.block);
    if (inPass && behind) return false;
    streamPos = StreamPosition{f, k, w};
    return false;
}

bool ClientEngine::HandleServerOs(const uint8_t* packet, size_t length) {
    auto os = protocol::DecodeServerOs(protocol::Datagram(packet, length));
    if (os) nameWide.store(os->wide);
    return false;
}

int ClientEngine::SendJoin() {
    uint8_t packet[protocol::kJoinSize];
    const size_t size = protocol::EncodeJoin(protocol::Join{uint8_t(ntFlag == 1 ? 1 : 0)}, packet);
    const platform::Endpoint to{replyAddress.load(), uint16_t(dataPort + protocol::kAnswerPortOffset)};
    if (!dataSocket.SendTo(packet, size, to)) {
        platform::Log("\nTivlo-----Send client failed!\n");
        return 0;
    }
    return 1;
}

void ClientEngine::SendFinish(uint8_t code) {
    uint8_t packet[protocol::kFinishSize];
    const size_t size = protocol::EncodeFinish(protocol::Finish{code}, packet);
    const platform::Endpoint to{replyAddress.load(), uint16_t(dataPort + protocol::kAnswerPortOffset)};
    if (!dataSocket.SendTo(packet, size, to)) {
        platform::Log("\nTivlo-----Client send finish Failed!\n");
        CloseAll();
    }
}

void ClientEngine::NotifyHost(uint32_t code, intptr_t lParam) {
    api::NotifyReceiverHost(hostWindow, code, lParam);
}

}  // namespace tivlo::receiver
