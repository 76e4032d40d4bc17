// The sender's protocol: Collect, the start of a transfer, the stream, the
// answers of the receivers, the masters one after another, the watchdog, the
// heartbeat and the abort.
#include "sender/sender_core.h"

#include <algorithm>
#include <cstring>

#include "platform/log.h"
#include "protocol/blocks.h"
#include "tivlo/tivlo_codes.h"

namespace tivlo::sender {

using protocol::kNever;
using protocol::Ms;
using protocol::Time;

namespace {

template <size_t N, typename Encode>
std::vector<uint8_t> Packet(Encode encode) {
    std::vector<uint8_t> packet(N);
    packet.resize(encode(packet.data()));
    return packet;
}

}  // namespace

SenderCore::SenderCore(SenderIo& io, protocol::HostSink& host)
    : io_(io), host_(host), watchdog_(*this), repairPacket_(protocol::kMaxBlockPacket, 0) {}

// ---------------------------------------------------------------------------
// Scripts: the timed sequences of control packets.

void SenderCore::Then(std::function<void()> run, Time after) {
    // A script that was idle starts now.
    if (script_.empty()) scriptAt_ = now_;
    script_.push_back(Step{std::move(run), after});
}

void SenderCore::RunScript(Time now) {
    while (!script_.empty() && now >= scriptAt_) {
        Step step = std::move(script_.front());
        script_.pop_front();
        scriptAt_ = now + step.after;
        step.run();
    }
    if (script_.empty()) scriptAt_ = kNever;
}

void SenderCore::ThreeTimes(std::vector<uint8_t> packet, std::function<void()> onAllFailed) {
    auto sent = std::make_shared<int>(0);
    auto shared = std::make_shared<std::vector<uint8_t>>(std::move(packet));
    for (int i = 0; i < 3; ++i) {
        Then([this, sent, shared] {
            if (Send(shared->data(), shared->size(), group_)) ++*sent;
        }, kRepeatPause);
    }
    Then([sent, onAllFailed] {
        if (*sent == 0) onAllFailed();
    });
}

bool SenderCore::Send(const uint8_t* data, size_t length, const platform::Endpoint& to) {
    if (socketsClosed_) return false;
    return io_.Send(data, length, to);
}

void SenderCore::CloseSockets() {
    socketsClosed_ = true;
    io_.CloseSockets();
    if (repairOpen_) io_.CloseFile(Reader::Repair);
    repairOpen_ = false;
}

// ---------------------------------------------------------------------------
// Start-up and the start of a transfer.

void SenderCore::Open(Time now, const platform::Endpoint& group, uint32_t wideNames, Time collectPause) {
    now_ = now;
    group_ = group;
    wideNames_ = wideNames;
    socketsClosed_ = false;
    roster_.Reset();
    script_.clear();
    scriptAt_ = kNever;
    stream_.active = false;
    stream_.at = kNever;
    watchdogAt_ = reportAt_ = openRepairAt_ = pollAgainAt_ = kNever;
    awaitedFinish_.clear();
    endAwaitsFinishes_ = false;
    polledMaster_ = -1;
    transferring_ = finished_ = stopped_ = aborting_ = answersShut_ = repairing_ = announcing_ = false;
    collectFailed_ = false;
    awaitingFirstCompletion_ = true;
    allReceiversWide_ = true;
    masterIndex_ = 0;
    masterSpoke_ = false;
    failedCount_ = 0;
    lastRequestFile_ = lastRequestBlock_ = 0;
    if (repairOpen_) io_.CloseFile(Reader::Repair);
    repairOpen_ = false;
    protocol::WriteBlockHeader(repairPacket_.data(), protocol::kRepairBlock);

    collecting_ = true;
    auto sent = std::make_shared<int>(0);
    for (int i = 0; i < 3; ++i) {
        Then([this, sent] {
            if (Collect()) ++*sent;
        }, collectPause);
    }
    Then([this, sent] {
        collecting_ = false;
        if (*sent == 0) {
            platform::Log("\nTivlo-----Can not Collect Client!\n");
            CloseSockets();
            collectFailed_ = true;
        }
    });
    RunScript(now);
}

bool SenderCore::Collect() {
    auto collect = Packet<protocol::kCollectSize>(protocol::EncodeCollect);
    return Send(collect.data(), collect.size(), group_);
}

void SenderCore::StartSend(Time now, std::shared_ptr<const TransferList> list, uint32_t mode,
                           const protocol::NameField& path, uint32_t rateKbps) {
    now_ = now;
    if (transferring_ && !Ended()) {
        platform::Log("\nTivlo-----A transfer is still running, StartSend ignored!\n");
        return;
    }
    // A new transfer starts clean: it never serves a block of a file read
    // for an older one.
    transferring_ = true;
    finished_ = stopped_ = aborting_ = answersShut_ = repairing_ = false;
    awaitingFirstCompletion_ = true;
    roster_.NewTransfer();
    failedCount_ = 0;
    masterSpoke_ = false;
    lastRequestFile_ = lastRequestBlock_ = 0;
    watchdogAt_ = reportAt_ = openRepairAt_ = pollAgainAt_ = kNever;
    awaitedFinish_.clear();
    endAwaitsFinishes_ = false;
    polledMaster_ = -1;
    if (repairOpen_) io_.CloseFile(Reader::Repair);
    repairOpen_ = false;
    lastRepairFile_ = 0;
    list_ = std::move(list);
    rate_ = rateKbps;

    // The Task carries the total as u32: a bigger task is refused before
    // anything goes out, not wrapped.
    uint64_t blocks = 0;
    lengths_.clear();
    changedFiles_.clear();
    for (uint32_t i = 1; i <= list_->files.size(); ++i) {
        const int64_t length = io_.FileLength(i);
        lengths_.push_back(length < 0 ? 0 : uint64_t(length));
        blocks += protocol::BlockCount(lengths_.back());
    }
    if (blocks > UINT32_MAX) {
        platform::Log("\nTivlo-----Too many blocks in the task, transfer refused!\n");
        transferring_ = false;
        return;
    }

    // A failed announcement ends the start here: the host gets no 1039.
    auto fail = [this](const char* line) {
        platform::Log(line);
        CloseSockets();
        script_.clear();
        announcing_ = false;
    };
    announcing_ = true;
    uint8_t os[protocol::serveros::kSize];
    const size_t osLength = protocol::EncodeServerOs({uint8_t(wideNames_)}, os);
    ThreeTimes({os, os + osLength}, [fail] { fail("\nTivlo-----Send Server OS Packet Failed!\n"); });
    protocol::Task task;
    task.totalBlocks = uint32_t(blocks);
    task.fileCount = uint32_t(list_->files.size());
    task.mode = mode;
    task.path = path;
    Then([this, task] {
        fileCount_ = task.fileCount;
        totalBlocks_ = task.totalBlocks;
    });
    uint8_t taskPacket[protocol::task::kSize];
    const size_t taskLength = protocol::EncodeTask(task, taskPacket);
    ThreeTimes({taskPacket, taskPacket + taskLength}, [fail] { fail("\nTivlo-----Send  Task Packet Failed!\n"); });
    Then([this] { host_.Started(uint32_t(roster_.count()), totalBlocks_); });
    QueueEmptyDirectories(1, kRepeatPause);
    Then([this] {
        // The stream and the heartbeat begin together.
        announcing_ = false;
        stream_ = Stream{};
        stream_.active = true;
        stream_.at = now_;
        stream_.startedAt = now_;
        stream_.packet.assign(protocol::kMaxBlockPacket, 0);
        protocol::WriteBlockHeader(stream_.packet.data(), protocol::kDataBlock);
        if (rate_ != 0) stream_.pacer.emplace(rate_, now_);
        reportAt_ = now_;
    });
    RunScript(now);
}

Time SenderCore::QueueEmptyDirectories(int copies, Time pause) {
    // Packets of at most 40 entries, in list order, each sent `copies`
    // times. After a packet that could not be sent at all, none of the rest
    // goes out. The time the copies take is handed back.
    const auto& dirs = list_->emptyDirectories;
    auto failed = std::make_shared<bool>(false);
    Time took = 0;
    for (size_t first = 0; first < dirs.size(); first += protocol::kMaxEmptyDirEntries) {
        const size_t end = std::min(dirs.size(), first + protocol::kMaxEmptyDirEntries);
        const std::vector<protocol::NameField> fields(dirs.begin() + first, dirs.begin() + end);
        auto packet = std::make_shared<std::vector<uint8_t>>(protocol::kMaxDatagram);
        packet->resize(protocol::EncodeEmptyDirectories(fields, packet->data()));
        auto sent = std::make_shared<int>(0);
        for (int i = 0; i < copies; ++i) {
            Then([this, failed, packet, sent] {
                if (!*failed && Send(packet->data(), packet->size(), group_)) ++*sent;
            }, pause);
            took += pause;
        }
        Then([this, failed, sent] {
            if (*failed || *sent != 0) return;
            *failed = true;
            platform::Log("\nTivlo-----Send Empty Directory Failed!\n");
            CloseSockets();
        });
    }
    return took;
}

// ---------------------------------------------------------------------------
// The stream.

bool SenderCore::OpenStreamFile() {
    const uint32_t i = stream_.file;
    if (i - 1 >= list_->files.size()) return false;
    stream_.length = lengths_[i - 1];
    const int64_t now = io_.FileLength(i);
    if (now >= 0 && uint64_t(now) != stream_.length) {
        // A file that grows or shrinks meanwhile is sent as it was: cut, or
        // filled with zeros, so that every receiver can be repaired.
        platform::Log(u"\nTivlo-----File " + list_->files[i - 1].relativeName +
                      u" changed size since the transfer started, sent as it was!\n");
        changedFiles_.push_back(i);
    }
    const auto lastIndex = protocol::LastBlockIndex(stream_.length);
    if (!lastIndex || !io_.OpenFile(Reader::Stream, i)) {
        EndTransfer(TIVLO_CODE_FILE_ERROR);
        return false;
    }
    stream_.lastIndex = *lastIndex;
    stream_.block = 0;
    protocol::WriteBlockFile(stream_.packet.data(), *lastIndex, protocol::LastBlockLength(stream_.length),
                             list_->files[i - 1].relativeField);
    return true;
}

void SenderCore::StreamOnce(Time now) {
    while (stream_.active && now >= stream_.at) {
        if (stopped_) {
            io_.CloseFile(Reader::Stream);
            stream_.active = false;
            return;
        }
        if (stream_.file == 0 || stream_.block > stream_.lastIndex) {
            // The next file, or the end of the stream.
            if (stream_.file >= fileCount_) {
                EndStream();
                return;
            }
            ++stream_.file;
            if (!OpenStreamFile()) {
                stream_.active = false;
                return;
            }
        }
        // Wide-name receivers take two blocks per 10 ms; a single-byte one
        // slows the stream to a block per 25 ms from the next block on. A
        // set rate replaces both.
        if (stream_.pacer) {
            const uint64_t wait = stream_.pacer->WaitNs(now);
            if (wait != 0) {
                stream_.at = now + wait;
                return;
            }
        } else if (allReceiversWide_ ? stream_.sendsSincePause >= 2 : stream_.sendsSincePause >= 1) {
            stream_.sendsSincePause = 0;
            // The pause runs from when these blocks were due, so a late wake
            // does not slow the pace; a stall longer than a pause starts it
            // afresh rather than catching up in a burst.
            const Time pause = allReceiversWide_ ? kWidePause : kNarrowPause;
            stream_.at = stream_.at + pause >= now ? stream_.at + pause : now + pause;
            return;
        }
        const uint32_t b = stream_.block;
        uint8_t* packet = stream_.packet.data();
        protocol::WriteBlockPosition(packet, stream_.file, b);
        const size_t n = ReadBlock(Reader::Stream, stream_.file, b, packet + protocol::kBlockHeadSize);
        if (b == stream_.lastIndex) io_.CloseFile(Reader::Stream);
        host_.CurrentFile(list_->files[stream_.file - 1].relativeName);
        if (!Send(packet, protocol::kBlockHeadSize + n, group_)) {
            io_.CloseFile(Reader::Stream);
            platform::Log("\nTivlo-----Send Data form write file!\n");
            CloseSockets();
            host_.Ended(TIVLO_CODE_SEND_FAILED, 0, false);
            stream_.active = false;
            return;
        }
        ++stream_.sendsSincePause;
        if (stream_.pacer) stream_.pacer->Sent(protocol::kBlockHeadSize + n);
        ++stream_.block;
    }
}

void SenderCore::EndStream() {
    stream_.active = false;
    stream_.at = kNever;
    // Nothing repairs an Empty directories packet, so the set goes out ten
    // times more (1 ms apart at a set rate), within the pause before the
    // Finish. The pauses around the Finish give receivers time to take the
    // tail of the stream and to answer; at a set rate 10 ms is enough: a
    // receiver's socket keeps the order, so the Finish never overtakes
    // blocks, and a Poll that comes before the Answer closes the pass
    // itself.
    const Time settle = rate_ != 0 ? kRateSettle : kSettle;
    const Time took = QueueEmptyDirectories(10, rate_ != 0 ? protocol::Ms(1) : kRepeatPause);
    Then([] {}, took < settle ? settle - took : 0);
    // The Finish three times, 10 ms apart; a failed send ends the three.
    auto failed = std::make_shared<bool>(false);
    for (int i = 0; i < 3; ++i) {
        Then([this, failed] {
            if (*failed) return;
            uint8_t packet[protocol::finish::kSize];
            const size_t length = protocol::EncodeFinish({0}, packet);
            if (!Send(packet, length, group_)) {
                platform::Log("\nTivlo-----Send Finish CMD Failed\n");
                CloseSockets();
                *failed = true;
            }
        }, kRepeatPause);
    }
    Then([] {}, settle);
    Then([this] { Settle(); });
}

void SenderCore::Settle() {
    if (stopped_) return;
    platform::Logf("Time = %d\n", int(protocol::ToMs(now_ - stream_.startedAt)));
    repairing_ = true;
    Appoint(roster_.NextMaster(-1));
    if (Poll(1, 1) && !Ended()) {
        watchdog_.Start();
        watchdogAt_ = now_ + Watchdog::kFirstTick;
    }
}

// ---------------------------------------------------------------------------
// Repair blocks.

void SenderCore::SendRepairBlock() {
    platform::Log("\nTivlo-----Send file to client\n");
    const uint32_t file = lastRequestFile_;
    const uint32_t block = lastRequestBlock_;
    if (!list_ || file == 0 || file > fileCount_ || file > list_->files.size()) return;
    uint8_t* packet = repairPacket_.data();
    protocol::WriteBlockPosition(packet, file, block);
    if (file != lastRepairFile_ || !repairOpen_) {
        const uint64_t len = lengths_[file - 1];
        const auto lastIndex = protocol::LastBlockIndex(len);
        if (repairOpen_) io_.CloseFile(Reader::Repair);
        repairOpen_ = false;
        if (!lastIndex || !io_.OpenFile(Reader::Repair, file)) {
            EndTransfer(TIVLO_CODE_FILE_ERROR);
            return;
        }
        protocol::WriteBlockFile(packet, *lastIndex, protocol::LastBlockLength(len),
                                 list_->files[file - 1].relativeField);
        repairOpen_ = true;
    }
    const size_t n = ReadBlock(Reader::Repair, file, block, packet + protocol::kBlockHeadSize);
    const platform::Endpoint to = roster_.unicastPhase() ? masterAddress_ : group_;
    if (!Send(packet, protocol::kBlockHeadSize + n, to)) {
        platform::Log("\nTivlo-----Send file or directory information failed\n");
        EndTransfer(TIVLO_CODE_FILE_ERROR);
        return;
    }
    lastRepairFile_ = file;
    if (masterIndex_ >= 0 && masterIndex_ < roster_.count()) ++roster_[masterIndex_].repaired;
    host_.CurrentFile(list_->files[file - 1].relativeName);
}

size_t SenderCore::ReadBlock(Reader reader, uint32_t file, uint32_t block, uint8_t* out) {
    const uint64_t length = lengths_[file - 1];
    const uint64_t offset = protocol::BlockOffset(block);
    if (offset > length) return 0;  // beyond the file: a request no receiver of this task makes
    const size_t want = size_t(std::min<uint64_t>(protocol::kBlockSize, length - offset));
    const size_t got = io_.ReadFile(reader, offset, out, want);
    if (got < want) std::memset(out + got, 0, want - got);
    return want;
}

uint32_t SenderCore::RepairCap(int32_t master) const {
    // Four attempts for each block its Answer counted, and two for every
    // block of the task (a file it never saw counts once in its Answer).
    const uint64_t missed = master >= 0 && master < roster_.count() ? roster_[master].missed : 0;
    return uint32_t(std::min<uint64_t>(UINT32_MAX, 4 * missed + 2 * uint64_t(totalBlocks_) + 64));
}

void SenderCore::ResendOpenRepair(Time now) {
    if (openRepairAt_ == kNever) return;
    // A new request, or another master, closed it.
    if (!AnswersOpen() || lastRequestFile_ != openRepairFile_ || lastRequestBlock_ != openRepairBlock_ ||
        masterIndex_ != openRepairMaster_) {
        openRepairAt_ = kNever;
        return;
    }
    if (now < openRepairAt_ + (kQuickResend << openRepairResends_)) return;
    SendRepairBlock();
    openRepairAt_ = now;
    // After that the watchdog's ticks take over, as at the fixed pace.
    if (++openRepairResends_ >= kQuickResends) openRepairAt_ = kNever;
}

// ---------------------------------------------------------------------------
// Answers.

void SenderCore::OnAnswer(Time now, const platform::Endpoint& from, const uint8_t* data, size_t length) {
    now_ = now;
    if (!AnswersOpen()) return;
    if (!protocol::HasMagic(data, length) || length < protocol::header::kSize) return;
    // Whatever the master itself sends shows it is alive.
    if (MasterRecordOf(from) >= 0) {
        masterSpoke_ = true;
        pollAgainAt_ = kNever;
    }
    switch (data[protocol::header::kType]) {
        case protocol::kJoin: HandleJoin(data, length, from); break;
        case protocol::kAck: HandleAck(now, data, length, from); break;
        case protocol::kFinish: HandleFinish(data, length, from); break;
        case protocol::kAnswer: HandleAnswer(data, length, from); break;
        default: break;
    }
    RunScript(now);
}

void SenderCore::HandleJoin(const uint8_t* data, size_t length, const platform::Endpoint& from) {
    auto join = protocol::DecodeJoin({data, length});
    if (!join) return;
    if (join->wide == 0) allReceiversWide_ = false;
    if (roster_.Add(from) == Roster::Added::Full) {
        char text[16];
        const uint8_t* a = reinterpret_cast<const uint8_t*>(&from.addr);
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
        platform::Logf("\nTivlo-----Roster full, receiver %s refused!\n", text);
    }
}

int32_t SenderCore::MasterRecordOf(const platform::Endpoint& address) const {
    const int32_t m = masterIndex_;
    if (m >= 0 && m < roster_.count() && roster_[m].address.addr == address.addr) return m;
    return -1;
}

void SenderCore::HandleAck(Time now, const uint8_t* data, size_t length, const platform::Endpoint& from) {
    auto ack = protocol::DecodeAck({data, length});
    // Acks belong to the repair phase: one that comes earlier (a stranger's,
    // or a late one of an older transfer) must not appoint masters or start
    // Polls while the Task and the stream are still going out.
    if (!ack || !repairing_) return;
    const bool missesNothing = ack->file > fileCount_;
    const int32_t master = MasterRecordOf(from);
    if (master < 0) {
        const int32_t i = roster_.Find(from);
        if (missesNothing && (rate_ != 0 || Awaited(i) != awaitedFinish_.end())) {
            // A former master that has everything: its Finish (0), which
            // alone counts it complete, is asked for (again: the Poll (0)
            // or the Finish was lost).
            SendPoll(from, 0);
        } else if (missesNothing) {
            // It has everything: its part ends with this Hold.
            if (i < roster_.count()) roster_[i].finished = true;
            SendHold(from, 1);
        } else {
            // Not its turn: served in the second pass.
            SendHold(from, 0);
            roster_.MarkPending(i, TIVLO_CODE_TIMED_OUT);
        }
        return;
    }
    // Only the master's own requests show the repair phase's progress.
    lastRequestFile_ = ack->file;
    lastRequestBlock_ = ack->block;
    if (missesNothing) {
        awaitingFirstCompletion_ = false;
        openRepairAt_ = kNever;
        // The Poll (0) lets it finish; its Finish (0) moves the sender on.
        if (!Poll(0, 0) || rate_ == 0) return;
        // At a set rate the next master is served at once. The Finish (0)
        // is awaited beside it, asked for again while it does not come, and
        // the transfer does not end before it came or was given up.
        if (Awaited(master) == awaitedFinish_.end()) awaitedFinish_.push_back({master, now + kQuickResend, 0});
        Appoint(roster_.NextMaster(master));
        Poll(1, 0);
        return;
    }
    if (roster_[master].repaired >= RepairCap(master)) {
        // Far more requests than it could need: passed over, so that one
        // master cannot hold the transfer for ever.
        platform::Log("\nTivlo-----Master asked for too many blocks, passed over!\n");
        roster_.MarkPending(master, TIVLO_CODE_TIMED_OUT);
        roster_[master].pending = 0;  // not served again either
        Appoint(roster_.NextMaster(master));
        Poll(1, 0);
        return;
    }
    SendRepairBlock();
    if (rate_ != 0 && AnswersOpen()) {
        openRepairAt_ = now;
        openRepairFile_ = ack->file;
        openRepairBlock_ = ack->block;
        openRepairMaster_ = masterIndex_;
        openRepairResends_ = 0;
    }
}

void SenderCore::HandleFinish(const uint8_t* data, size_t length, const platform::Endpoint& from) {
    auto finish = protocol::DecodeFinish({data, length});
    if (!finish) return;
    if (finish->code != 0) {
        // Only a receiver of the roster gives up, and it counts once however
        // often it says so (once per file it lost): a Finish(1) from a
        // stranger, or a storm of them, must not end the transfer of the
        // others. The host hears of each.
        const int32_t i = roster_.Find(from);
        if (i >= roster_.count()) return;
        roster_[i].errorCode = TIVLO_CODE_DISK_FULL;
        platform::Log("Tivlo......PostMessage WM_CLIENT_DISKFULL....\n");
        host_.ClientDiskFull(from.addr);
        if (roster_[i].gaveUp) return;
        roster_[i].gaveUp = true;
        ++failedCount_;
        if (failedCount_ >= uint32_t(roster_.count())) EndTransfer(0);
        return;
    }
    if (!repairing_) return;
    const int32_t m = MasterRecordOf(from);
    const int32_t i = roster_.Find(from);
    const auto awaited = Awaited(i);
    // At a set rate a former master's late Finish (0) still counts it
    // complete; it moves the sender on only from the master.
    if (m < 0 && awaited == awaitedFinish_.end() && (rate_ == 0 || i >= roster_.count())) return;
    ReceiverRecord& r = roster_[m >= 0 ? m : i];
    if (awaited != awaitedFinish_.end()) awaitedFinish_.erase(awaited);
    r.pending = 0;
    // A receiver that gave up keeps its code whatever it says later.
    if (!r.gaveUp) r.errorCode = 0;
    r.finished = true;
    if (m >= 0) {
        Appoint(roster_.NextMaster(m));
        Poll(1, 0);
    } else if (awaitedFinish_.empty() && endAwaitsFinishes_) {
        EndTransfer(0);
    }
}

void SenderCore::HandleAnswer(const uint8_t* data, size_t length, const platform::Endpoint& from) {
    auto answer = protocol::DecodeAnswer({data, length});
    if (!answer) return;
    const int32_t i = roster_.Find(from);
    if (i >= roster_.count()) return;
    roster_.RecordAnswer(i, answer->missing, totalBlocks_);
}

bool SenderCore::Poll(uint32_t turn, uint32_t skipFailed) {
    // A stopped or ended transfer polls nobody (and is not ended twice).
    if (Ended()) return false;
    int32_t m = masterIndex_;
    if (m < 0 || m >= roster_.count()) {
        EndWhenNobodyIsLeft();
        return false;
    }
    uint8_t packet[protocol::poll::kSize];
    const size_t length = protocol::EncodePoll({turn}, packet);
    if (turn != 0) {
        if (skipFailed != 0 && roster_[m].errorCode != 0) {
            if (!roster_[m].gaveUp) roster_[m].errorCode = TIVLO_CODE_TIMED_OUT;
            m = roster_.NextMaster(m);
            Appoint(m);
            // Skipping it may leave nobody to serve.
            if (m < 0 || m >= roster_.count()) {
                EndWhenNobodyIsLeft();
                return false;
            }
        }
        masterAddress_ = roster_[m].address;
        if (!Send(packet, length, roster_[m].address)) {
            platform::Log("\nSend Packet to Master Failed When Master is TRUE!");
            QueueAbort(true, true);
        } else if (rate_ != 0 && !masterSpoke_ && (pollAgainAt_ == kNever || polledMaster_ != m)) {
            // Counted once per master: the watchdog's own Polls do not
            // start the count again.
            if (polledMaster_ != m) pollResends_ = 0;
            polledMaster_ = m;
            pollAgainAt_ = now_ + (kQuickResend << pollResends_);
        }
    } else {
        masterAddress_ = roster_[m].address;
        if (!Send(packet, length, roster_[m].address)) {
            platform::Log("\nTivlo-----Send Packet to Master Failed When Master is FALSE!");
            CloseSockets();
        }
    }
    return true;
}

void SenderCore::SendHold(const platform::Endpoint& to, uint8_t complete) {
    uint8_t packet[protocol::hold::kSize];
    const size_t length = protocol::EncodeHold({complete, uint8_t(roster_.unicastPhase() ? 1 : 0)}, packet);
    if (!Send(packet, length, to)) {
        platform::Log("\nTivlo-----Send to Master Failed!\n");
        CloseSockets();
    }
}

// ---------------------------------------------------------------------------
// The end of a transfer.

void SenderCore::QueueAbort(bool closeSocketsAfter, bool lastMessage) {
    // The answers stop at once; the Stop packets go out, then the host hears
    // of the end.
    // An abort under way keeps its script; anything else is cut short.
    if (!aborting_) script_.clear();
    announcing_ = false;
    answersShut_ = true;
    aborting_ = true;
    openRepairAt_ = kNever;
    auto stop = Packet<protocol::kStopSize>(protocol::EncodeStop);
    ThreeTimes(std::move(stop), [this] {
        platform::Log("\nTivlo-----Send Stop packet Failed!\n");
        CloseSockets();
    });
    Then([] {}, kRepeatPause);
    Then([this, lastMessage] { host_.Ended(0, 0, lastMessage); }, kRepeatPause);
    Then([this, closeSocketsAfter] {
        aborting_ = false;
        if (closeSocketsAfter) CloseSockets();
    });
}

void SenderCore::SendPoll(const platform::Endpoint& to, uint32_t turn) {
    uint8_t packet[protocol::poll::kSize];
    Send(packet, protocol::EncodePoll({turn}, packet), to);
}

std::vector<SenderCore::AwaitedFinish>::iterator SenderCore::Awaited(int32_t record) {
    return std::ranges::find_if(awaitedFinish_, [&](const AwaitedFinish& a) { return a.record == record; });
}

void SenderCore::EndWhenNobodyIsLeft() {
    // Finishes still awaited end it when they come or are given up.
    if (awaitedFinish_.empty()) {
        EndTransfer(0);
    } else {
        endAwaitsFinishes_ = true;
    }
}

void SenderCore::EndTransfer(uint32_t code) {
    awaitedFinish_.clear();
    endAwaitsFinishes_ = false;
    // Whoever did not finish is named before the host hears of the end, so
    // that GetErrInfo and the last 1040 agree.
    MarkUnfinished(TIVLO_CODE_TIMED_OUT);
    if (code == 0) {
        finished_ = true;
        host_.Ended(0, 0, true);
        return;
    }
    // An abort stops the stream too; the end of a transfer in which every
    // receiver gave up does not: a receiver that refused one file still
    // takes the others.
    stream_.active = false;
    QueueAbort(false, false);
    Then([this, code] {
        finished_ = true;
        host_.Ended(code, 0, true);
    });
}

void SenderCore::MarkUnfinished(uint32_t code) {
    for (int32_t i = 0; i < roster_.count(); ++i) {
        ReceiverRecord& r = roster_[i];
        const bool complete = r.finished || (r.done != 0 && r.missed == 0);
        if (!complete && r.errorCode == 0) r.errorCode = code;
    }
}

void SenderCore::GiveUp() { EndTransfer(TIVLO_CODE_TIMED_OUT); }

void SenderCore::Appoint(int32_t index) {
    if (index != masterIndex_) masterSpoke_ = false;
    masterIndex_ = index;
}

void SenderCore::StopSend(Time now) {
    now_ = now;
    stopped_ = true;
    stream_.active = false;
    watchdogAt_ = kNever;
    if (transferring_) MarkUnfinished(TIVLO_CODE_TIMED_OUT);
    // No Data block and no Poll may follow the Stop packets.
    QueueAbort(false, true);
    RunScript(now);
}

// ---------------------------------------------------------------------------
// Time.

void SenderCore::OnTick(Time now) {
    now_ = now;
    RunScript(now);
    if (stream_.active) StreamOnce(now);
    if (watchdogAt_ != kNever && now >= watchdogAt_) {
        const Time next = Ended() ? kNever : watchdog_.Tick();
        watchdogAt_ = (next == kNever || Ended()) ? kNever : now + next;
    }
    if (reportAt_ != kNever && now >= reportAt_) {
        reportAt_ = kNever;
        if (!Ended() && !stopped_) {
            uint8_t packet[protocol::report::kSize];
            const size_t length = protocol::EncodeReport(packet);
            if (!socketsClosed_ && io_.SendReport(packet, length)) {
                reportAt_ = now + kReportPeriod;
            } else {
                platform::Log("\nTivlo-----Send Report Data Failed!\n");
                CloseSockets();
                host_.Ended(TIVLO_CODE_SEND_FAILED, 0, false);
            }
        }
    }
    if (openRepairAt_ != kNever) ResendOpenRepair(now);
    if (pollAgainAt_ != kNever && now >= pollAgainAt_) {
        pollAgainAt_ = kNever;
        // The Poll or its answer was lost: the same master, polled again;
        // one that stays silent through all of them is passed over (it gets
        // its turn again in the second pass).
        if (!masterSpoke_ && AnswersOpen() && masterIndex_ >= 0 && masterIndex_ < roster_.count()) {
            if (pollResends_ + 1 < kQuickResends) {
                SendPoll(roster_[masterIndex_].address, 1);
                pollAgainAt_ = now + (kQuickResend << ++pollResends_);
            } else {
                MarkMasterTimedOut();
                Appoint(roster_.NextMaster(masterIndex_));
                Poll(1, 0);
            }
        }
    }
    if (!AnswersOpen()) awaitedFinish_.clear();  // nothing can answer any more
    if (!awaitedFinish_.empty()) AskForFinishes(now);
    if (Ended()) watchdogAt_ = kNever;
}

void SenderCore::AskForFinishes(Time now) {
    // A Poll (0) again to each whose Finish (0) is late; one that never
    // sends it is not counted complete (the end names it).
    std::erase_if(awaitedFinish_, [&](AwaitedFinish& a) {
        if (now < a.at) return false;
        if (a.resends + 1 >= kQuickResends) return true;
        SendPoll(roster_[a.record].address, 0);
        a.at = now + (kQuickResend << ++a.resends);
        return false;
    });
    if (awaitedFinish_.empty() && endAwaitsFinishes_) EndTransfer(0);
}

Time SenderCore::NextWake() const {
    Time next = script_.empty() ? kNever : scriptAt_;
    if (stream_.active) next = std::min(next, stream_.at);
    next = std::min(next, watchdogAt_);
    if (!Ended()) next = std::min(next, reportAt_);
    if (openRepairAt_ != kNever) next = std::min(next, openRepairAt_ + (kQuickResend << openRepairResends_));
    next = std::min(next, pollAgainAt_);
    if (AnswersOpen())
        for (const AwaitedFinish& a : awaitedFinish_) next = std::min(next, a.at);
    return next;
}

}  // namespace tivlo::sender
