// The stream: every file of the transfer list once, block by block, paced by
// fixed pauses and without waiting for anybody; then the Finish packets and
// the first Poll. Also the Repair block that answers one master's request.
#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

#include "api/notify.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/log.h"
#include "protocol/blocks.h"
#include "protocol/packets.h"
#include "sender/server_engine.h"
#include "sender/stream_pacer.h"

namespace tivlo::sender {

namespace {

// Reads up to length bytes; a short count only at the end of the file. A
// read error ends the block there, as a short read would.
size_t ReadBlock(platform::File& file, uint8_t* out, size_t length) {
    size_t got = 0;
    while (got < length) {
        int64_t n = file.Read(out + got, length - got);
        if (n <= 0) break;
        got += size_t(n);
    }
    return got;
}

// The stream at a set rate reads each file in chunks of whole blocks, so a
// block costs a copy instead of a read of its own.
class ReadAhead {
public:
    static constexpr size_t kChunkBlocks = 64;
    static constexpr size_t kChunkBytes = kChunkBlocks * protocol::kBlockSize;

    bool Allocate() {
        buffer_.reset(new (std::nothrow) uint8_t[kChunkBytes]);
        return buffer_ != nullptr;
    }
    // A new file: nothing of the previous one is left over.
    void Reset() { have_ = used_ = 0; }
    // The file's next bytes, as ReadBlock gives them.
    size_t Next(platform::File& file, uint8_t* out, size_t length) {
        size_t got = 0;
        while (got < length) {
            if (used_ == have_) {
                have_ = ReadBlock(file, buffer_.get(), kChunkBytes);
                used_ = 0;
                if (have_ == 0) break;
            }
            const size_t n = std::min(length - got, have_ - used_);
            std::memcpy(out + got, buffer_.get() + used_, n);
            used_ += n;
            got += n;
        }
        return got;
    }

private:
    std::unique_ptr<uint8_t[]> buffer_;
    size_t have_ = 0;
    size_t used_ = 0;
};

}  // namespace

int ServerEngine::PaceAtRate(StreamPacer& pacer) {
    constexpr uint64_t kNsPerMs = 1000000;
    for (;;) {
        const uint64_t wait = pacer.WaitNs(platform::NowNs());
        if (wait == 0) return 1;
        if (wait < 2 * kNsPerMs) {
            platform::SleepNs(wait);
            continue;
        }
        // A long wait (a low rate) ends early on a stop; the rest of the
        // millisecond is slept on the next turn.
        if (stopEvent.Wait(uint32_t(std::min<uint64_t>(wait / kNsPerMs, 1000)))) return 0;
    }
}

uint32_t ServerEngine::SendLoop() {
    std::vector<uint8_t> packet(protocol::kMaxBlockPacket, 0);
    protocol::WriteBlockHeader(packet.data(), protocol::kDataBlock);
    platform::File file;
    uint32_t sendsSincePause = 0;
    const uint64_t start = platform::NowMs();
    // With a send rate the stream is paced by its deadlines instead of the
    // fixed pauses, and reads ahead; without one nothing differs.
    const uint32_t rate = sendRate.load();
    transferRate = rate;
    std::optional<StreamPacer> pacer;
    ReadAhead readAhead;
    if (rate != 0) {
        if (!readAhead.Allocate()) return 0;
        pacer.emplace(rate, platform::NowNs());
    }

    const uint32_t files = fileCount.load();
    for (uint32_t i = 1; i <= files; ++i) {
        if (i - 1 >= transferList.size() || !transferList[i - 1]) return 0;
        const TransferEntry& entry = *transferList[i - 1];
        const uint64_t length = QueryFileLength(entry.fullPath);
        const auto lastIndex = protocol::LastBlockIndex(length);
        if (!lastIndex || !file.OpenRead(entry.fullPath, false)) {
            EndTransfer(kCodeFileError);
            return 0;
        }
        protocol::WriteBlockFile(packet.data(), *lastIndex, protocol::LastBlockLength(length),
                                 entry.relativeField);
        readAhead.Reset();
        for (uint64_t b = 0; b <= *lastIndex; ++b) {
            protocol::WriteBlockPosition(packet.data(), i, uint32_t(b));
            uint8_t* data = packet.data() + protocol::kBlockHeadSize;
            size_t n = pacer ? readAhead.Next(file, data, protocol::kBlockSize)
                             : ReadBlock(file, data, protocol::kBlockSize);
            if (b == *lastIndex) file.Close();
            api::PostCurrentFile(hostWindow, entry.relativeName);
            // Wide-name receivers take two blocks per 10 ms; a single-byte
            // one slows the stream to a block per 25 ms from the next block
            // on. A set rate replaces both.
            if (pacer) {
                if (PaceAtRate(*pacer) == 0) {
                    file.Close();
                    return 0;
                }
            } else if (allReceiversWide.load() != 0) {
                if (sendsSincePause >= 2) {
                    platform::SleepMs(10);
                    sendsSincePause = 0;
                }
            } else if (sendsSincePause >= 1) {
                platform::SleepMs(25);
                sendsSincePause = 0;
            }
            if (Stopped()) {
                file.Close();
                return 0;
            }
            if (!sendSocket.SendTo(packet.data(), protocol::kBlockHeadSize + n, groupEndpoint)) {
                file.Close();
                platform::Log("\nTivlo-----Send Data form write file!\n");
                CloseSockets();
                api::PostEnded(hostWindow, kCodeSendFailed, 0);
                return 0;
            }
            ++sendsSincePause;
            if (pacer) pacer->Sent(protocol::kBlockHeadSize + n);
        }
    }
    file.Close();

    // Nothing repairs an Empty directories packet, so the set goes out once
    // more before the Finish.
    // The pauses around the Finish give receivers time to take the tail of
    // the stream and to answer. At a set rate 50 ms is enough: a receiver's
    // socket keeps the order, so the Finish never overtakes blocks, and a
    // Poll that comes before the Answer closes the pass itself. 500 ms
    // would be a second of every fast transfer.
    const uint32_t settleMs = rate != 0 ? kRateSettleMs : 500;
    if (Stopped()) return 0;
    SendEmptyDirectories();
    stopEvent.Wait(settleMs);
    if (Stopped()) return 0;
    SendFinish();
    stopEvent.Wait(settleMs);
    if (Stopped()) return 0;

    platform::Logf("Time = %d\n", int(platform::NowMs() - start));
    masterIndex = NextMaster(-1);
    if (PollMaster(1, 1) != kNoMasterLeft) StartWatchdog();
    return 1;
}

void ServerEngine::SendFinish() {
    uint8_t packet[protocol::kFinishSize];
    size_t length = protocol::EncodeFinish({0}, packet);
    for (int i = 0; i < 3; ++i) {
        if (!sendSocket.SendTo(packet, length, groupEndpoint)) {
            platform::Log("\nTivlo-----Send Finish CMD Failed\n");
            CloseSockets();
            return;
        }
        platform::SleepMs(10);
    }
}

void ServerEngine::StartWatchdog() {
    if (Stopped()) return;
    watchdogActive = true;
    if (!watchdogThread.Start([this] {
            WatchdogLoop();
            watchdogActive = false;
        })) {
        watchdogActive = false;
    }
}

void ServerEngine::DropRepairState() {
    std::lock_guard<std::mutex> lock(repairLock);
    if (repairFileOpen != 0) repairFile.Close();
    repairFileOpen = 0;
    repairEntry = nullptr;
    lastRepairFile = 0;
}

void ServerEngine::SendRepairBlock() {
    // Failures end the transfer after the lock is released: EndTransfer
    // waits for the answer thread, which may itself wait for this lock.
    bool failed = false;
    std::u16string name;
    {
        std::lock_guard<std::mutex> lock(repairLock);
        platform::Log("\nTivlo-----Send file to client\n");
        const uint32_t file = lastRequestFile.load();
        const uint32_t block = lastRequestBlock.load();
        if (file == 0 || file > fileCount.load() || file > transferList.size()) return;
        protocol::WriteBlockPosition(repairPacket.data(), file, block);
        if (file != lastRepairFile || repairFileOpen == 0 || repairEntry == nullptr) {
            repairEntry = transferList[file - 1].get();
            const uint64_t length = QueryFileLength(repairEntry->fullPath);
            const auto lastIndex = protocol::LastBlockIndex(length);
            if (repairFileOpen != 0) repairFile.Close();
            repairFileOpen = 0;
            if (!lastIndex || !repairFile.OpenRead(repairEntry->fullPath, true)) {
                failed = true;
            } else {
                protocol::WriteBlockFile(repairPacket.data(), *lastIndex,
                                         protocol::LastBlockLength(length), repairEntry->relativeField);
                repairFileOpen = 1;
            }
        }
        if (!failed) {
            size_t n = 0;
            if (repairFile.Seek(int64_t(protocol::BlockOffset(block))))
                n = ReadBlock(repairFile, repairPacket.data() + protocol::kBlockHeadSize, protocol::kBlockSize);
            repairOutLength = uint32_t(protocol::kBlockHeadSize + n);
            std::copy_n(repairPacket.begin(), repairOutLength, repairOutBuffer.begin());
            const platform::Endpoint to = unicastPhase.load() != 0 ? masterAddress.load() : groupEndpoint;
            if (!sendSocket.SendTo(repairOutBuffer.data(), repairOutLength, to)) {
                platform::Log("\nTivlo-----Send file or directory information failed\n");
                failed = true;
            } else {
                lastRepairFile = file;
                name = repairEntry->relativeName;
            }
        }
    }
    if (failed) {
        EndTransfer(kCodeFileError);
        return;
    }
    api::PostCurrentFile(hostWindow, name);
}

}  // namespace tivlo::sender
