// File assembly: the write thread with its 30-block buffer, the gap thread,
// and the missing-block map with its keys.
#include <cstdio>
#include <cstring>

#include "api/notify.h"
#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/log.h"
#include "protocol/blocks.h"
#include "receiver/client_engine.h"

namespace tivlo::receiver {

namespace {

constexpr uint32_t kWriteIdleMs = 2;
constexpr uint32_t kGapIdleMs = 10;
constexpr uint32_t kGapBurst = 12;
constexpr uint32_t kGapBurstPauseMs = 2;

// writeFailed bits.
constexpr uint32_t kCreateFailed = 1;
constexpr uint32_t kWriteFailed = 2;

// The directory part of a path, its last separator included.
std::u16string DirectoryPart(const std::u16string& path) {
    size_t last = path.find_last_of(platform::kPathSeparator);
    return last == std::u16string::npos ? std::u16string() : path.substr(0, last + 1);
}

}  // namespace

std::string PadIndex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(value));
    std::string digits(text);
    if (digits.size() < 10) digits.insert(0, 10 - digits.size(), '0');
    return digits;
}

MissingKey MakeMissingKey(uint32_t file, uint32_t block) {
    MissingKey key;
    const std::string f = PadIndex(file);
    const std::string b = PadIndex(block);
    std::memcpy(key.data(), f.data(), 10);
    std::memcpy(key.data() + 10, b.data(), 10);
    return key;
}

void StoreMissing(MissingMap& map, uint32_t file, uint32_t block) {
    map.insert_or_assign(MakeMissingKey(file, block), MissingEntry{file, block});
}

bool RemoveMissing(MissingMap& map, const MissingKey& key) { return map.erase(key) != 0; }

int CreatePath(const std::u16string& path) {
    if (platform::PathExists(path)) return 1;
    if (path.size() == 2) return 1;  // a bare drive
    const std::u16string full = path + platform::kPathSeparator;
    for (size_t i = 0; i < full.size(); ++i) {
        // Failures (it exists, the root, a bad name) show at the open that
        // follows.
        if (full[i] == platform::kPathSeparator) (void)platform::MakeDirectory(full.substr(0, i + 1));
    }
    return 1;
}

void ClientEngine::DestoryAll() {
    platform::Log("-------------DestoryAll");
    {
        platform::LockGuard guard(missingLock);
        missing.clear();
    }
    {
        // Queued buffers go back to the pool; the one the write thread holds
        // returns when it is written.
        platform::LockGuard guard(queueLock);
        for (; queueCount > 0; --queueCount) {
            freeSlots.push_back(queueRing[queueHead]);
            queueHead = (queueHead + 1) % blockPoolSize;
        }
    }
    {
        platform::LockGuard guard(gapLock);
        gapList.clear();
    }
}

void ClientEngine::WriteLoop() {
    writeBlockCount = 0;
    writeByteCount = 0;
    for (;;) {
        if (Stopped()) break;
        if (QueuedBlock* block = TakeQueued()) {
            if (beforeWriteHook) beforeWriteHook(*block);
            WriteBlock(*block);
            ReleaseQueued(block);
            continue;
        }
        if (Ended()) {
            // Complete means every block of the task is on disk: nothing is
            // missing, no gap waits to be counted and every write went well.
            if (writeFailed == 0 && MissingEmpty() && GapsEmpty()) {
                api::PostEnded(hostWindow, 0, 1);
            } else {
                platform::Log("\nTivlo-----Task ended with blocks missing!\n");
                NotifyHost(kCodeIncomplete);
            }
            writeDone.Set();
            platform::Log("\n-------------Write");
            return;
        }
        platform::SleepMs(kWriteIdleMs);
    }
    writeDone.Set();
}

void ClientEngine::FlushWriteBuffer() {
    if (fileOpen && writeBlockCount > 0) {
        const uint32_t first = lastBufferedBlock - writeBlockCount + 1;
        if (!currentFile.Seek(int64_t(protocol::BlockOffset(first))) ||
            !currentFile.Write(writeBuffer.get(), writeByteCount)) {
            // A full disk or a failing device: tell the sender and the host
            // once, as for a disk that is too small from the start.
            if ((writeFailed & kWriteFailed) == 0) {
                writeFailed |= kWriteFailed;
                SendFinish(1);
                NotifyHost(kCodeDiskFull);
            }
        }
    }
    writeBlockCount = 0;
    writeByteCount = 0;
}

void ClientEngine::WriteBlock(const QueuedBlock& queued) {
    auto block = protocol::DecodeBlock(protocol::Datagram(queued.bytes.data(), queued.length));
    if (!block) return;
    if (queued.generation != writerGeneration) {
        // A new task: nothing of it goes into a file of the previous one.
        FlushWriteBuffer();
        if (fileOpen) {
            currentFile.Close();
            fileOpen = 0;
        }
        currentFileIndex = 0;
        lastBufferedBlock = 0;
        openedThisTask.clear();
        writeFailed = 0;
        writerGeneration = queued.generation;
    }

    const uint32_t f = block->file;
    const uint32_t k = block->block;
    const uint32_t w = block->lastIndex;
    const bool stream = block->streamFlag != 0;
    const uint32_t n = protocol::BlockDataLength(k, w, block->lastLength);
    const uint8_t* data = block->data.data();

    auto putAlone = [&] {
        std::memcpy(writeBuffer.get(), data, n);
        writeBlockCount = 1;
        writeByteCount = n;
        lastBufferedBlock = k;
    };

    if (f != currentFileIndex) {
        std::u16string name;
        std::u16string relative;
        const bool safe = ReadWireName(block->name, block->nameCount, &name) &&
                          WireNameToRelative(name, true, &relative);
        const std::u16string path = TargetRoot() + relative;
        if (safe) CreatePath(DirectoryPart(path));
        if (fileOpen) {
            FlushWriteBuffer();
            currentFile.Close();
            fileOpen = 0;
        }
        // After a failed change no file is current, so blocks of the file
        // closed above still reopen it.
        currentFileIndex = 0;
        if (safe && path.size() > kMaxTargetPath) {
            SendFinish(1);
            NotifyHost(kCodePathTooLong);
            return;
        }
        if (!safe || (!currentFile.OpenWriteExisting(path) && !currentFile.Create(path))) {
            writeFailed |= kCreateFailed;
            SendFinish(1);
            NotifyHost(kCodeCreateFailed);
            return;
        }
        // The file gets exactly the sender's length: a longer one left at
        // this path is cut when this task first opens it.
        if (openedThisTask.insert(f).second) {
            const int64_t length = int64_t(protocol::BlockOffset(w) + block->lastLength);
            if (currentFile.Length() > length) (void)currentFile.Truncate(length);
        }
        fileOpen = 1;
        currentFileIndex = f;
        putAlone();
        if (stream && k < w) return;
        FlushWriteBuffer();
        return;
    }

    if (!fileOpen) {
        writeBlockCount = 0;
        writeByteCount = 0;
        return;
    }
    if (stream) {
        if (k == lastBufferedBlock + 1) {
            std::memcpy(writeBuffer.get() + size_t(writeBlockCount) * protocol::kBlockSize, data, n);
            ++writeBlockCount;
            writeByteCount += n;
            lastBufferedBlock = k;
            if (writeBlockCount < kWriteBufferBlocks && k < w) return;
            FlushWriteBuffer();
            return;
        }
        // A skip, a repeat or an older block starts a batch of its own.
        FlushWriteBuffer();
        putAlone();
        if (k < w) return;
        FlushWriteBuffer();
        return;
    }
    // A Repair block is written at once.
    FlushWriteBuffer();
    putAlone();
    FlushWriteBuffer();
}

void ClientEngine::GapLoop() {
    for (;;) {
        if (EndedOrStopped()) break;
        GapRecord record;
        bool have = false;
        {
            platform::LockGuard guard(gapLock);
            if (!gapList.empty()) {
                record = gapList.front();
                gapList.pop_front();
                have = true;
            }
        }
        if (have) {
            ExpandGap(record);
            continue;
        }
        {
            platform::LockGuard guard(inPassLock);
            if (inPass == 0) {
                gapThreadActive = 0;
                gapDone.Set();
                return;
            }
        }
        platform::SleepMs(kGapIdleMs);
    }
    {
        platform::LockGuard guard(inPassLock);
        gapThreadActive = 0;
    }
    gapDone.Set();
}

void ClientEngine::ExpandGap(const GapRecord& r) {
    uint32_t stored = 0;
    // False when the receiver is being torn down: a large gap is not worth
    // finishing then.
    auto store = [&](uint32_t file, uint32_t block) {
        {
            platform::LockGuard guard(missingLock);
            StoreMissing(missing, file, block);
        }
        if (++stored % kGapBurst == 0) return !closing.Wait(kGapBurstPauseMs);
        return true;
    };
    if (r.newFile == r.prevFile) {
        for (uint64_t b = uint64_t(r.prevBlock) + 1; b < r.newBlock; ++b)
            if (!store(r.newFile, uint32_t(b))) return;
        return;
    }
    if (r.newFile < r.prevFile) return;
    if (r.prevFile != 0) {
        for (uint64_t b = uint64_t(r.prevBlock) + 1; b <= r.prevCount; ++b)
            if (!store(r.prevFile, uint32_t(b))) return;
    }
    for (uint64_t f = uint64_t(r.prevFile) + 1; f < r.newFile; ++f)
        if (!store(uint32_t(f), 0)) return;
    for (uint64_t b = 0; b < r.newBlock; ++b)
        if (!store(r.newFile, uint32_t(b))) return;
}

void ClientEngine::ProcessLost(const protocol::Block& block) {
    platform::Log("\n");
    platform::Log("Process Lost");
    platform::Log("\n");
    std::u16string name;
    std::u16string relative;
    if (ReadWireName(block.name, block.nameCount, &name) && WireNameToRelative(name, false, &relative))
        CreatePath(DirectoryPart(TargetRoot() + relative));
    // Only a file of which this task has queued a block counts as received;
    // one left at the same path by an earlier transfer does not.
    if (touchedThisTask.contains(block.file)) return;
    platform::LockGuard guard(missingLock);
    for (uint64_t b = 1; b <= block.lastIndex; ++b) StoreMissing(missing, block.file, uint32_t(b));
}

}  // namespace tivlo::receiver
