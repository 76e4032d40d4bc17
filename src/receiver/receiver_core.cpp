// The receiver's protocol: the stream pass (Collect, Task, Empty
// directories, Data blocks, Server OS, Stop), the repair phase (Poll, Hold,
// Repair block, the sender's Finish, the Answer and the Acks), the watch on
// the sender's heartbeat, and the end of its part.
#include "receiver/receiver_core.h"

#include <algorithm>
#include <cstring>

#include "platform/log.h"
#include "platform/path_rules.h"
#include "platform/system.h"
#include "protocol/blocks.h"
#include "tivlo/tivlo_codes.h"

namespace tivlo::receiver {

using protocol::kNever;
using protocol::Time;

namespace {

constexpr uint32_t kNarrowWorkArea = 260;

}  // namespace

ReceiverCore::ReceiverCore(ReceiverIo& io, protocol::HostSink& host, uint32_t ntFlag, uint32_t maxWindow)
    : io_(io), host_(host), ntFlag_(ntFlag), maxWindow_(std::max<uint32_t>(maxWindow, 1)) {
    window_ = std::min(kFirstWindow, maxWindow_);
}

// ---------------------------------------------------------------------------
// Dispatch.

bool ReceiverCore::OnDatagram(Time now, const platform::Endpoint& from, const uint8_t* data, size_t length) {
    now_ = now;
    if (stopped_) return true;
    if (ended_ && !draining_ && taskAccepted_ && from.addr == senderAddress_ && length > protocol::header::kType &&
        protocol::HasMagic(data, length)) {
        const uint8_t type = data[protocol::header::kType];
        if (type == protocol::kTask && protocol::DecodeTask({data, length})) {
            // The sender sends a task's copies before its Finish, so a Task
            // now starts another transfer: asked about it, this receiver must
            // not answer with the copy it holds of the last one, even where
            // the two look alike (the files may have changed).
            sentAnotherTask_ = true;
        } else if (type == protocol::kPoll && length >= protocol::poll::kSize) {
            // Its part is over, but the sender still asks (an Answer or a
            // Finish was lost): it hears again how this receiver ended.
            const bool complete = !sentAnotherTask_ && !writeFailed_ && missing_.Empty();
            if (protocol::GetU32(data + protocol::poll::kTurn) == 0 || !complete) {
                SendFinish(complete ? 0 : 1);
            } else {
                uint8_t ack[protocol::ack::kSize];
                const size_t n = protocol::EncodeAck({fileCount_ + 1, 0}, ack);
                io_.Send(replyAddress_, ack, n);
            }
        }
        return done_;
    }
    if (done_ || ended_) return done_;
    if (!protocol::HasMagic(data, length)) return false;
    // Once a task is taken, only its sender is listened to: a stranger's
    // datagram neither redirects the answers nor touches the task. Once
    // that sender is lost, another may collect and start a task.
    const int type = length > protocol::header::kType ? data[protocol::header::kType] : -1;
    if (taskAccepted_ && from.addr != senderAddress_ &&
        !(senderLost_ && (type == protocol::kCollect || type == protocol::kTask)))
        return false;
    replyAddress_ = from.addr;
    if (type < 0) return false;
    bool end = false;
    switch (type) {
        case protocol::kCollect: end = HandleCollect(); break;
        case protocol::kTask:
            end = HandleTask(data, length);
            if (!end && taskAccepted_) {
                // The heartbeat is watched from the first Task that passes
                // the disk check on.
                if (!watching_) {
                    watching_ = true;
                    reportTries_ = 0;
                    reportAt_ = now;
                }
                host_.Started(fileCount_, totalBlocks_);
            }
            break;
        case protocol::kStop: host_.Ended(0, 0, false); break;
        case protocol::kEmptyDirectories: end = HandleEmptyDirectories(data, length); break;
        case protocol::kDataBlock: end = HandleDataBlock(data, length); break;
        case protocol::kServerOs: end = HandleServerOs(data, length); break;
        // The repair phase belongs to a task: before one there is nothing
        // to repair, and nothing to end.
        case protocol::kPoll: end = taskAccepted_ && HandlePoll(data, length); break;
        case protocol::kHold: end = taskAccepted_ && HandleHold(data, length); break;
        case protocol::kRepairBlock: end = taskAccepted_ && HandleRepairBlock(data, length); break;
        case protocol::kFinish: end = taskAccepted_ && HandleFinish(); break;
        default: break;
    }
    if (end && !ended_) done_ = true;  // gave up: nothing to drain for
    if (now_ >= reportAt_) CheckReports();
    return done_ || stopped_;
}

bool ReceiverCore::HandleCollect() {
    if (!SendJoin()) {
        stopped_ = true;
        host_.Ended(TIVLO_CODE_SEND_FAILED, 0, true);
    }
    return false;
}

bool ReceiverCore::HandleServerOs(const uint8_t* packet, size_t length) {
    auto os = protocol::DecodeServerOs({packet, length});
    if (os) nameWide_ = os->wide;
    return false;
}

// ---------------------------------------------------------------------------
// The stream pass.

bool ReceiverCore::HandleTask(const uint8_t* packet, size_t length) {
    auto task = protocol::DecodeTask({packet, length});
    if (!task) return false;
    // Every file has at least one block: a task claiming more files than
    // blocks is no task of a sender.
    if (task->fileCount > task->totalBlocks) return false;

    // The sender sends each Task three times, before any block or Finish:
    // a copy counts as a repeat only while the pass is open, no block of the
    // task (Data, or another's Repair) has been taken and its host has not
    // been told that the sender was lost.
    const bool repeat = generation_ != 0 && inPass_ && !senderLost_ && files_.empty() &&
                        std::memcmp(lastTask_.data(), packet, protocol::task::kSize) == 0;
    if (!repeat) {
        if (taskAccepted_ && !senderLost_) {
            // A new task while this one is unfinished: it ends here, and
            // nothing of it is written after this.
            platform::Log("\nTivlo-----Task ended with blocks missing!\n");
            host_.Ended(TIVLO_CODE_INCOMPLETE, 0, true);
        }
        senderLost_ = false;
        sentAnotherTask_ = false;
        std::memcpy(lastTask_.data(), packet, protocol::task::kSize);
        ++generation_;
        io_.BeginTask(generation_);
        files_.clear();
        usedPaths_.clear();
        claimedBlocks_ = 0;
        writeFailed_ = false;
        turnFlag_ = 0;
    }
    platform::Log("-------------DestoryAll");
    missing_.Clear();
    ended_ = false;
    finishAfterDrain_ = false;
    inPass_ = true;
    taskAccepted_ = false;
    inFlight_.clear();
    streamPos_ = Position{};
    fileCount_ = task->fileCount;
    totalBlocks_ = task->totalBlocks;

    std::u16string root;
    if (io_.ResolveTarget(task->mode, ConvertName(task->path.bytes.data(), task->path.count), &root))
        root_ = root;
    if (!io_.AllowRoot(&root_)) {
        GiveUp(TIVLO_CODE_NOT_FIXED);
        return true;
    }
    // In 64 bits: a task of more than 4 GiB is not taken for a small one.
    const uint32_t result = io_.CheckDisk(root_, uint64_t(task->totalBlocks) * protocol::kBlockSize);
    if (result == 0) {
        GiveUp(TIVLO_CODE_DISK_FULL);
        return true;
    }
    if (result == TIVLO_CODE_NOT_FIXED) {
        GiveUp(TIVLO_CODE_NOT_FIXED);
        return true;
    }
    taskAccepted_ = true;
    senderAddress_ = replyAddress_;
    if (rootOpened_ != generation_) {
        rootOpened_ = generation_;
        io_.OpenRoot(generation_, root_);
    }
    return false;
}

bool ReceiverCore::HandleEmptyDirectories(const uint8_t* packet, size_t length) {
    // Before a task is accepted there is no target root to create them in.
    if (!taskAccepted_) return false;
    auto dirs = protocol::DecodeEmptyDirectories({packet, length});
    if (!dirs || dirs->count < 1) return false;
    const size_t entries = std::min(dirs->names.size(), size_t(dirs->count));
    for (size_t i = 0; i < entries; ++i) {
        std::u16string name;
        std::u16string relative;
        const bool safe =
            ReadWireName(dirs->names[i], dirs->counts[i], &name) && WireNameToRelative(name, false, &relative);
        if (!safe || root_.size() + relative.size() > kMaxTargetPath) {
            SendFinish(1);
            host_.Ended(TIVLO_CODE_PATH_TOO_LONG, 0, true);
            return true;
        }
        io_.MakeDirectories(generation_, relative);
    }
    return false;
}

bool ReceiverCore::Fits(const protocol::Block& block) const {
    // Only a block that fits the task and carries all its bytes is taken:
    // whatever else sits in the buffer never reaches a file.
    if (block.file == 0 || block.file > fileCount_ || block.block > block.lastIndex ||
        block.lastIndex >= totalBlocks_ || block.lastLength > protocol::kBlockSize)
        return false;
    const uint32_t dataLength = protocol::BlockDataLength(block.block, block.lastIndex, block.lastLength);
    return block.data.size() >= dataLength;
}

ReceiverCore::FileState* ReceiverCore::AcceptBlock(const protocol::Block& block) {
    if (!Fits(block)) return nullptr;
    auto known = files_.find(block.file);
    if (known != files_.end()) return known->second.lastIndex == block.lastIndex ? &known->second : nullptr;
    // A file's shape is fixed by its first block; every file of the task has
    // at least one block, so the files not seen yet keep one each.
    const uint64_t unseenOthers = uint64_t(fileCount_) - files_.size() - 1;
    if (claimedBlocks_ + uint64_t(block.lastIndex) + 1 + unseenOthers > totalBlocks_) return nullptr;
    claimedBlocks_ += uint64_t(block.lastIndex) + 1;
    FileState& state = files_[block.file];
    state.lastIndex = block.lastIndex;
    // A file counted as never seen now has a shape: every block of it is
    // missing until it arrives, whatever order its blocks come in.
    if (missing_.TakeFile(block.file)) missing_.AddBlocks(block.file, 0, block.lastIndex);
    std::u16string name;
    std::u16string relative;
    if (ReadWireName(block.name, block.nameCount, &name) && WireNameToRelative(name, true, &relative)) {
        // A file's name ends in a name of its own ("\" or "\dir\" name
        // the folder), and two files of one task never share a path: the
        // second would cut the first.
        const std::u16string last = relative.substr(relative.rfind(platform::kPathSeparator) + 1);
        if (!last.empty() && last != u"." && usedPaths_.insert(platform::FoldPath(relative)).second)
            state.path = relative;
    }
    return &state;
}

bool ReceiverCore::QueueBlock(const protocol::Block& block, FileState& file, uint32_t waitMs) {
    if (file.failed) return true;  // dropped, as the writer would
    if (file.path.empty() || root_.size() + file.path.size() > kMaxTargetPath) {
        // Refused once per file; the task can no longer be complete.
        file.failed = true;
        writeFailed_ = true;
        SendFinish(1);
        host_.Ended(file.path.empty() ? TIVLO_CODE_CREATE_FAILED : TIVLO_CODE_PATH_TOO_LONG, 0, false);
        return true;
    }
    BlockWrite w;
    w.generation = generation_;
    w.file = block.file;
    w.block = block.block;
    w.lastIndex = block.lastIndex;
    w.lastLength = block.lastLength;
    w.stream = block.streamFlag != 0;
    w.path = &file.path;
    w.data = block.data.data();
    w.length = protocol::BlockDataLength(block.block, block.lastIndex, block.lastLength);
    if (!io_.Write(w, waitMs)) return false;
    file.touched = true;
    return true;
}

void ReceiverCore::AnnounceName(const uint8_t* field, uint32_t count) {
    // The characters that count (the terminator included); whatever lies
    // behind them in the field is not part of the name.
    const uint32_t bytes =
        uint32_t(std::min<uint64_t>(uint64_t(count) * (nameWide_ == 1 ? 2 : 1), protocol::kNameFieldBytes));
    if (nameWide_ != announcedWide_ || count != announcedCount_ || bytes != announcedFieldBytes_ ||
        std::memcmp(field, announcedField_.data(), bytes) != 0) {
        announcedName_ = ConvertName(field, count);
        std::memcpy(announcedField_.data(), field, bytes);
        announcedFieldBytes_ = bytes;
        announcedCount_ = count;
        announcedWide_ = nameWide_;
    }
    host_.CurrentFile(announcedName_);
}

bool ReceiverCore::HandleDataBlock(const uint8_t* packet, size_t length) {
    auto block = protocol::DecodeBlock({packet, length});
    if (!block || block->type != protocol::kDataBlock || block->streamFlag == 0) return false;
    FileState* file = AcceptBlock(*block);
    if (file == nullptr) return false;
    const bool queued = QueueBlock(*block, *file, kStreamSlotWaitMs);
    if (!queued && inPass_) {
        // Still no buffer free: the block is lost as if the network had
        // lost it, and repaired like one.
        missing_.AddBlocks(block->file, block->block, block->block);
    }
    AnnounceName(block->name, block->nameCount);

    // Gap detection. The block expected next follows the position: the next
    // block of its file, or block 0 of the next file once its last block was
    // seen (file 0 before anything was seen). Any block beyond that reveals
    // a gap, registered at once. After the pass has closed every unseen block
    // is registered already, so late blocks record nothing. Within the pass
    // the position only moves forward: a block from behind it (reordered,
    // repeated) was either registered already or is written now.
    const uint32_t f = block->file;
    const uint32_t k = block->block;
    const Position p = streamPos_;
    uint64_t expectFile = p.file;
    uint64_t expectBlock = uint64_t(p.block) + 1;
    if (p.block >= p.count) {
        expectFile = uint64_t(p.file) + 1;
        expectBlock = 0;
    }
    const bool gap = f > expectFile || (f == expectFile && k > expectBlock);
    if (gap && inPass_) {
        if (f == p.file) {
            missing_.AddBlocks(f, p.block + 1, k - 1);
        } else {
            if (p.file != 0 && p.block < p.count) missing_.AddBlocks(p.file, p.block + 1, p.count);
            if (f > p.file + 1) missing_.AddFiles(p.file + 1, f - 1);
            if (k > 0) missing_.AddBlocks(f, 0, k - 1);
        }
    }
    // A block that came late (reordered) is no longer missing.
    if (queued) missing_.Remove(f, k);
    const bool behind = f < p.file || (f == p.file && k <= p.block);
    if (inPass_ && behind) return false;
    streamPos_ = Position{f, k, block->lastIndex};
    return false;
}

// ---------------------------------------------------------------------------
// The repair phase.

bool ReceiverCore::TakeInPass() {
    if (!inPass_) return false;
    inPass_ = false;
    return true;
}

bool ReceiverCore::EndOfPassAnswer() {
    // What the stream never showed: the rest of the last file seen, and
    // every file after it (block 0 standing for the whole file).
    const Position p = streamPos_;
    if (p.file != 0 && p.block < p.count) missing_.AddBlocks(p.file, p.block + 1, p.count);
    if (p.file < fileCount_) {
        missing_.AddFiles(p.file + 1, fileCount_);
        // A file behind none of the stream's positions but with a known
        // shape (only reordering makes one) is missing block by block.
        for (const auto& [f, state] : files_) {
            if (f > p.file && missing_.TakeFile(f)) missing_.AddBlocks(f, 0, state.lastIndex);
        }
    }

    const uint64_t count = missing_.Count();
    SendAnswer(uint32_t(std::min<uint64_t>(count, UINT32_MAX)));
    if (count != 0) return false;
    SetEnded();
    return true;
}

void ReceiverCore::SendAnswer(uint32_t missing) {
    uint8_t packet[protocol::answer::kSize];
    const size_t size = protocol::EncodeAnswer({missing}, packet);
    if (!io_.Send(replyAddress_, packet, size)) platform::Log("\nTivlo-----Send Answer Failed!\n");
}

int ReceiverCore::SendAck() {
    platform::Log("\nTivlo-----Client Send ACK !\n");
    if (turnFlag_ == 0) return 0;
    uint8_t packet[protocol::ack::kSize];
    const size_t size = protocol::EncodeAck({wantedFile_, wantedBlock_}, packet);
    if (!io_.Send(replyAddress_, packet, size)) {
        platform::Log("\nTivlo-----Client Send ACK Failed!\n");
        return 0;
    }
    return 1;
}

Time ReceiverCore::Rto() const {
    if (maxWindow_ == 1) return kAckRepeat;
    return srtt_ == 0 ? kFirstRto : std::max(kMinRto, 2 * srtt_);
}

Time ReceiverCore::Due(const Request& r) const {
    // Each new asking for one block waits twice as long, up to a tenth of a
    // second: a burst of losses passes, and a sender that is gone is
    // noticed by its heartbeat.
    if (maxWindow_ == 1) return kAckRepeat;
    return std::min<Time>(Rto() << std::min<uint32_t>(r.tries - 1, 8), std::max(Rto(), kMaxBackoff));
}

void ReceiverCore::FillWindow() {
    if (turnFlag_ == 0) return;
    if (missing_.Empty()) {
        // Nothing is missing any more: the sender polls and this receiver
        // finishes.
        inFlight_.clear();
        wantedFile_ = fileCount_ + 1;
        wantedBlock_ = 0;
        SendAck();
        return;
    }
    auto flying = [&](BlockRef b) {
        return std::any_of(inFlight_.begin(), inFlight_.end(), [&](const Request& r) { return r.block == b; });
    };
    // The next missing blocks after the last one asked for, in order; after
    // the end, from the start again (a file seen at last adds blocks before
    // the cursor).
    bool wrapped = false;
    for (size_t guard = 0; inFlight_.size() < window_ && guard < 2 * kMaxWindow + 4; ++guard) {
        std::optional<BlockRef> next =
            cursor_.file == 0 ? missing_.First() : missing_.After(cursor_.file, cursor_.block);
        if (!next) {
            if (wrapped) break;
            wrapped = true;
            cursor_ = BlockRef{};
            continue;
        }
        cursor_ = *next;
        if (flying(*next)) continue;
        wantedFile_ = next->file;
        wantedBlock_ = next->block;
        if (SendAck() == 0) break;
        inFlight_.push_back({*next, now_, 1});
    }
}

void ReceiverCore::Answered(uint32_t file, uint32_t block) {
    for (auto it = inFlight_.begin(); it != inFlight_.end(); ++it) {
        if (!(it->block == BlockRef{file, block})) continue;
        if (it->tries == 1) {
            // A clean round trip: the estimate follows it, the window grows.
            const Time sample = now_ - it->sentAt;
            srtt_ = srtt_ == 0 ? sample : (7 * srtt_ + sample) / 8;
            window_ = std::min(window_ + 1, maxWindow_);
        }
        // Requests sent before this one and still open were overtaken.
        bool lost = false;
        for (auto earlier = inFlight_.begin(); earlier != it; ++earlier) {
            if (earlier->sentAt <= it->sentAt && ++earlier->passed == kOvertaken) {
                AskAgainFor(*earlier);
                lost = true;
            }
        }
        if (lost) window_ = std::max<uint32_t>(1, window_ / 2);
        inFlight_.erase(it);
        return;
    }
}

void ReceiverCore::AskAgainFor(Request& r) {
    wantedFile_ = r.block.file;
    wantedBlock_ = r.block.block;
    SendAck();
    r.sentAt = now_;
    r.passed = 0;
    ++r.tries;
}

void ReceiverCore::AskAgain() {
    bool late = false;
    for (Request& r : inFlight_) {
        if (now_ - r.sentAt < Due(r)) continue;
        if (maxWindow_ == 1 && r.tries > kMaxAckRepeats) continue;
        // Still missing: asked for again; the window shrinks once for all.
        if (!missing_.Contains(r.block.file, r.block.block)) continue;
        AskAgainFor(r);
        late = true;
    }
    if (late) window_ = std::max<uint32_t>(1, window_ / 2);
    std::erase_if(inFlight_, [&](const Request& r) { return !missing_.Contains(r.block.file, r.block.block); });
}

bool ReceiverCore::HandlePoll(const uint8_t* packet, size_t length) {
    auto poll = protocol::DecodePoll({packet, length});
    if (!poll) return false;
    // Every copy of the sender's Finish may have been lost: the Poll then
    // closes the pass, so that the tail of the stream is counted.
    // Nothing is missing and this receiver is master: its Finish (0) moves
    // the sender on, once every block is on disk.
    finishAfterDrain_ = true;
    if (TakeInPass() && EndOfPassAnswer()) return true;
    finishAfterDrain_ = false;
    turnFlag_ = poll->turn;
    if (poll->turn == 0) {
        if (missing_.Empty()) {
            // The Finish says what the disk made of it: 1 when a file was
            // lost (also late, in the last writes).
            finishAfterDrain_ = true;
            SetEnded();
            return true;
        }
        turnFlag_ = 1;
    }
    // A new turn: what was asked for before is asked for afresh.
    inFlight_.clear();
    cursor_ = BlockRef{};
    FillWindow();
    return false;
}

bool ReceiverCore::HandleHold(const uint8_t* packet, size_t length) {
    auto hold = protocol::DecodeHold({packet, length});
    if (!hold) return false;
    if (TakeInPass() && EndOfPassAnswer()) return true;
    if ((hold->complete != 0 && missing_.Empty()) || hold->unicastPhase != 0) {
        SetEnded();
        return true;
    }
    turnFlag_ = 0;
    inFlight_.clear();
    return false;
}

bool ReceiverCore::HandleRepairBlock(const uint8_t* packet, size_t length) {
    auto block = protocol::DecodeBlock({packet, length});
    if (!block || block->type != protocol::kRepairBlock || !Fits(*block)) return false;
    // The pass closes first, so that a file it counts as never seen has its
    // entry before this block gives it a shape.
    if (TakeInPass() && EndOfPassAnswer()) return true;
    FileState* file = AcceptBlock(*block);
    if (file == nullptr) return false;

    const uint32_t f = block->file;
    const uint32_t k = block->block;
    if (missing_.Empty()) {
        // A block it no longer needs: a served master says again that it
        // has everything (that Ack may have been lost).
        FillWindow();
        return false;
    }
    if (missing_.Contains(f, k)) {
        // Every buffer still waits for the disk: the block stays missing,
        // and the master asks for it again when its time is up.
        if (!QueueBlock(*block, *file, kRepairSlotWaitMs)) return false;
        missing_.Remove(f, k);
        Answered(f, k);
        if (k == 0) {
            // The rest of a file never seen was registered when its shape
            // became known (AcceptBlock).
            platform::Log("\n");
            platform::Log("Process Lost");
            platform::Log("\n");
        }
        announcedName_ = ConvertName(block->name, block->nameCount);
        announcedWide_ = 2;  // the cache no longer matches the name
        host_.CurrentFile(announcedName_);
        const bool nowComplete = missing_.Empty();
        if (nowComplete && turnFlag_ == 0) {
            // Completed by the blocks sent for others: a second Answer of 0
            // tells the sender, which then needs no turn for this receiver,
            // and ends its part as an Answer of 0 does.
            SendAnswer(0);
            SetEnded();
            return true;
        }
        FillWindow();
        if (nowComplete) return false;  // the position stays
        streamPos_.file = f;
        streamPos_.block = k;
        return false;
    }
    // Not needed here (another receiver's, or a second copy).
    Answered(f, k);
    FillWindow();
    streamPos_.file = f;
    streamPos_.block = k;
    return false;
}

bool ReceiverCore::HandleFinish() {
    if (!TakeInPass()) return false;
    if (!EndOfPassAnswer()) return false;
    platform::Log("\n-------------Receive");
    return true;
}

// ---------------------------------------------------------------------------
// Answers, the end of the part, the heartbeat.

bool ReceiverCore::SendJoin() {
    uint8_t packet[protocol::join::kSize];
    const size_t size = protocol::EncodeJoin({uint8_t(ntFlag_ == 1 ? 1 : 0)}, packet);
    if (!io_.Send(replyAddress_, packet, size)) {
        platform::Log("\nTivlo-----Send client failed!\n");
        return false;
    }
    return true;
}

void ReceiverCore::SendFinish(uint8_t code) {
    uint8_t packet[protocol::finish::kSize];
    const size_t size = protocol::EncodeFinish({code}, packet);
    if (!io_.Send(replyAddress_, packet, size)) {
        platform::Log("\nTivlo-----Client send finish Failed!\n");
        stopped_ = true;
        io_.Fatal();
    }
}

void ReceiverCore::GiveUp(uint32_t code) {
    SendFinish(1);
    host_.Ended(code, 0, true);
}

void ReceiverCore::SetEnded() {
    // Complete means every block of the task is on disk: the writer is asked
    // to drain, and its answer decides.
    ended_ = true;
    draining_ = true;
    io_.Drain(++drainToken_);
}

void ReceiverCore::OnWriteResult(Time now, const WriteResult& result) {
    now_ = now;
    switch (result.kind) {
        case WriteResult::FileFailed:
        case WriteResult::WriteFailed: {
            if (result.generation != generation_) return;
            writeFailed_ = true;
            auto it = files_.find(result.file);
            if (it != files_.end()) it->second.failed = true;
            SendFinish(1);
            host_.Ended(result.kind == WriteResult::FileFailed ? TIVLO_CODE_CREATE_FAILED : TIVLO_CODE_DISK_FULL, 0,
                        false);
            return;
        }
        case WriteResult::Drained:
            if (!draining_ || result.token != drainToken_ || done_) return;
            draining_ = false;
            done_ = true;
            if (finishAfterDrain_) SendFinish(!writeFailed_ && missing_.Empty() ? 0 : 1);
            if (!writeFailed_ && missing_.Empty()) {
                host_.Ended(0, 1, true);
            } else {
                platform::Log("\nTivlo-----Task ended with blocks missing!\n");
                host_.Ended(TIVLO_CODE_INCOMPLETE, 0, true);
            }
            platform::Log("\n-------------Write");
            return;
    }
}

bool ReceiverCore::ReadOneReport() {
    uint8_t buffer[protocol::report::kSize];
    uint32_t from = 0;
    for (;;) {
        const int got = io_.ReadReport(buffer, sizeof buffer, &from);
        if (got < 0) return false;
        // Another sender's heartbeat does not keep this task's alive.
        if (size_t(got) > protocol::header::kType && protocol::HasMagic(buffer, size_t(got)) &&
            buffer[protocol::header::kType] == protocol::kReport && from == senderAddress_)
            return true;
    }
}

void ReceiverCore::CheckReports() {
    static const char* const kTryLines[] = {"\n Tget  Report1 @@@\n", "\n Tget  Report2 @@@\n",
                                            "\n Tget  Report3 @@@\n"};
    reportAt_ = kNever;
    if (!watching_ || stopped_) return;
    // After its part ended the watch goes on quietly: it only keeps the
    // receiver answering a sender that missed its last word.
    if (ReadOneReport()) {
        if (!ended_) platform::Log("\n Tget  Report @@@\n");
        reportTries_ = 0;
        reportAt_ = now_ + kReportRead;
        return;
    }
    if (reportTries_ < 3) {
        if (!ended_) platform::Log(kTryLines[reportTries_]);
        ++reportTries_;
        reportAt_ = now_ + kReportRead;
        return;
    }
    // Four reads in a row found no Report: the sender is lost, and nobody
    // is left to ask. After its part ended, this only ends the wait for a
    // sender that might still ask.
    watching_ = false;
    turnFlag_ = 0;
    inFlight_.clear();
    if (ended_) return;
    SendFinish(1);
    senderLost_ = true;
    host_.Ended(TIVLO_CODE_SENDER_LOST, 0, true);
}

void ReceiverCore::OnTick(Time now) {
    now_ = now;
    if (stopped_) return;
    // After its part ended the receiver keeps listening while the sender's
    // heartbeat lasts, to answer a sender that missed its last word.
    if (now >= reportAt_) CheckReports();
    if (done_) return;
    // A served master asks again for what did not come; a complete one
    // waits for the sender's Poll.
    if (!ended_ && turnFlag_ != 0 && !inFlight_.empty()) {
        AskAgain();
        FillWindow();
    }
}

Time ReceiverCore::NextWake() const {
    if (stopped_) return kNever;
    Time next = reportAt_;
    if (done_) return next;
    if (!ended_ && turnFlag_ != 0) {
        for (const Request& r : inFlight_)
            if (maxWindow_ != 1 || r.tries <= kMaxAckRepeats) next = std::min(next, r.sentAt + Due(r));
    }
    return next;
}

// ---------------------------------------------------------------------------
// Names from the wire.

std::u16string ReceiverCore::ConvertName(const uint8_t* field, uint32_t count) const {
    if (nameWide_ == 1) {
        std::u16string wide = protocol::ReadWideName(field, count);
        if (ntFlag_ == 1) return wide;
        // A system without Unicode names sees them through its code page.
        const std::string narrow = platform::Utf16ToAnsi(wide);
        return platform::AnsiToUtf16(narrow.data(), narrow.size());
    }
    const std::string narrow = protocol::ReadNarrowName(field, std::min(count, kNarrowWorkArea));
    return platform::AnsiToUtf16(narrow.data(), narrow.size());
}

bool ReceiverCore::ReadWireName(const uint8_t* field, uint32_t count, std::u16string* name) const {
    // The name is everything before its terminator; a NUL earlier than that
    // hides the rest of the name and is refused.
    const bool wide = nameWide_ == 1;
    const uint32_t capacity = wide ? protocol::kMaxWideNameUnits : kNarrowWorkArea;
    const uint32_t units = std::min(count, capacity);
    if (units == 0) return false;
    for (uint32_t i = 0; i + 1 < units; ++i) {
        const bool isNul = wide ? (field[2 * i] == 0 && field[2 * i + 1] == 0) : field[i] == 0;
        if (isNul) return false;
    }
    *name = ConvertName(field, count);
    return true;
}

bool WireNameToRelative(const std::u16string& name, bool stripReserved, std::u16string* relative) {
    std::u16string text = name;
    if (stripReserved) {
        std::erase_if(text, [](char16_t c) { return c == u'/' || c == u'*' || c == u'?' || c == u'>' || c == u'<'; });
    }
    if (text.empty() || text[0] != platform::kWireSeparator) return false;
    if (text.size() > 1 && (text[1] == u'\\' || text[1] == u'/')) return false;  // \\server, //x
    if (platform::kWindowsNames && text.find(u':') != std::u16string::npos) return false;  // drive or stream
    if (text.find(u'\0') != std::u16string::npos) return false;
    // No component may climb out of the root, whichever separator the
    // platforms on either side use.
    const bool safe = platform::EveryComponent(text, u"\\/", [](std::u16string_view part) {
        // "..", and what Windows makes of it ("...", ".. ").
        const bool dotsAndBlanks = !part.empty() && part.find_first_not_of(u". ") == std::u16string_view::npos;
        const bool climbs = part == u".." || (platform::kWindowsNames && dotsAndBlanks &&
                                              std::count(part.begin(), part.end(), u'.') >= 2);
        return !climbs && !platform::IsReservedName(part);
    });
    if (!safe) return false;
    for (char16_t& c : text)
        if (c == platform::kWireSeparator) c = platform::kPathSeparator;
    *relative = std::move(text);
    return true;
}

}  // namespace tivlo::receiver
