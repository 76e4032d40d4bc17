// The sender's protocol, free of threads, sockets and clocks: a state machine
// that takes the receivers' datagrams, timer ticks and the host's calls,
// each with the current time, and acts through SenderIo (datagrams, file
// reads) and HostSink (messages to the host). ServerEngine runs it on real
// sockets; the simulator runs it on virtual time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/endpoint.h"
#include "protocol/host_sink.h"
#include "protocol/packets.h"
#include "protocol/time.h"
#include "sender/roster.h"
#include "sender/stream_pacer.h"
#include "sender/watchdog.h"
#include "tivlo/tivlo_codes.h"

namespace tivlo::sender {

// One file to send; its position in the list, from 1, is its file index.
struct TransferEntry {
    std::u16string fullPath;      // platform path (read by the shell)
    std::u16string relativeName;  // below the selection's folder, '\' separators
    protocol::NameField relativeField;
};

// What StartSend sends: the files and the directories without
// sub-directories (their wire names).
struct TransferList {
    std::vector<TransferEntry> files;
    std::vector<protocol::NameField> emptyDirectories;
};

// The stream reads its files in order; Repair blocks read anywhere.
enum class Reader { Stream, Repair };

class SenderIo {
public:
    virtual ~SenderIo() = default;
    // One datagram from the send socket; false when it could not be sent.
    virtual bool Send(const uint8_t* data, size_t length, const platform::Endpoint& to) = 0;
    // One Report from the report socket to the report group.
    virtual bool SendReport(const uint8_t* data, size_t length) = 0;
    // Every send fails from now on.
    virtual void CloseSockets() = 0;
    // The length of file `file` of the list, opened alone; -1 when it cannot
    // be opened.
    virtual int64_t FileLength(uint32_t file) = 0;
    virtual bool OpenFile(Reader reader, uint32_t file) = 0;
    // Up to length bytes from offset; fewer only at the end of the file.
    virtual size_t ReadFile(Reader reader, uint64_t offset, uint8_t* out, size_t length) = 0;
    virtual void CloseFile(Reader reader) = 0;
};

class SenderCore : private WatchdogContext {
public:
    // Without a send rate: two blocks, then 10 ms (all receivers take wide
    // names), or 25 ms before every block (one does not).
    static constexpr protocol::Time kWidePause = protocol::Ms(10);
    static constexpr protocol::Time kNarrowPause = protocol::Ms(25);
    static constexpr protocol::Time kCollectPause = protocol::Ms(100);
    // With a rate, the Collects go 20 ms apart: the host then waits for the
    // receivers it expects rather than for a fixed time.
    static constexpr protocol::Time kRateCollectPause = protocol::Ms(20);
    static constexpr protocol::Time kRepeatPause = protocol::Ms(10);
    static constexpr protocol::Time kSettle = protocol::Ms(500);
    // With a rate: the pauses around the Finish, and the first wait before an
    // unanswered Repair block goes again (doubling, kQuickResends times).
    static constexpr protocol::Time kRateSettle = protocol::Ms(10);
    static constexpr protocol::Time kQuickResend = protocol::Ms(2);
    static constexpr uint32_t kQuickResends = 8;
    static constexpr protocol::Time kReportPeriod = protocol::Ms(5000);

    SenderCore(SenderIo& io, protocol::HostSink& host);

    // ---- The host's calls ----
    // InitServer, once the sockets are ready: a new session (empty roster),
    // and the three Collects from now.
    void Open(protocol::Time now, const platform::Endpoint& group, uint32_t wideNames,
              protocol::Time collectPause = kCollectPause);
    // True until the third Collect's pause has passed.
    bool Collecting() const { return collecting_; }
    // No Collect could be sent (the sockets are closed).
    bool CollectFailed() const { return collectFailed_; }
    // One more Collect, now; true when it went out.
    bool Collect();
    void StartSend(protocol::Time now, std::shared_ptr<const TransferList> list, uint32_t mode,
                   const protocol::NameField& path, uint32_t rateKbps);
    void StopSend(protocol::Time now);
    // The abort that StopSend began has posted its message.
    bool Aborting() const { return aborting_; }
    // StartSend's announcement (Server OS, Task, 1039, Empty directories)
    // is still going out.
    bool Announcing() const { return announcing_; }
    int GetErrInfo(uint32_t* out) const { return roster_.GetErrInfo(out); }
    const Roster& roster() const { return roster_; }

    // ---- Events ----
    // A datagram on the answer port, at most 11 bytes as read.
    void OnAnswer(protocol::Time now, const platform::Endpoint& from, const uint8_t* data, size_t length);
    void OnTick(protocol::Time now);
    // When OnTick is next due; kNever when nothing waits.
    protocol::Time NextWake() const;

    // ---- State ----
    // The transfer has ended (1040 posted) or was stopped.
    bool Ended() const override { return finished_ || stopped_; }
    bool Finished() const { return finished_; }
    // A transfer is under way: between StartSend and its end.
    bool Transferring() const { return transferring_ && !Ended(); }
    bool AnswersOpen() const { return !answersShut_ && !Ended(); }
    uint32_t totalBlocks() const { return totalBlocks_; }
    // Files whose length changed after the transfer started (file indexes).
    const std::vector<uint32_t>& changedFiles() const { return changedFiles_; }
    // The list of the transfer under way (or the last one).
    const TransferList* list() const { return list_.get(); }
    // The Repair blocks one master may be sent before it is passed over: a
    // master asking for more is not repairing anything.
    uint32_t RepairCap(int32_t master) const;
    uint32_t fileCount() const { return fileCount_; }

private:
    // A timed sequence: each step runs, then the next waits `after`.
    struct Step {
        std::function<void()> run;
        protocol::Time after = 0;
    };

    // ---- Scripts ----
    void RunScript(protocol::Time now);
    void Then(std::function<void()> run, protocol::Time after = 0);
    // Sends a control packet three times, 10 ms apart; onAllFailed runs when
    // none went out.
    void ThreeTimes(std::vector<uint8_t> packet, std::function<void()> onAllFailed);
    protocol::Time QueueEmptyDirectories(int copies, protocol::Time pause);
    // The Stop packets, then 1040 (0, 0): the host's last message of the
    // transfer unless an EndTransfer follows with its code.
    void QueueAbort(bool closeSocketsAfter, bool lastMessage);

    // ---- Stream ----
    void StreamOnce(protocol::Time now);
    bool OpenStreamFile();
    void EndStream();
    void Settle();

    // ---- Answers, roster, masters ----
    void HandleJoin(const uint8_t* data, size_t length, const platform::Endpoint& from);
    void HandleAck(protocol::Time now, const uint8_t* data, size_t length, const platform::Endpoint& from);
    void HandleFinish(const uint8_t* data, size_t length, const platform::Endpoint& from);
    void HandleAnswer(const uint8_t* data, size_t length, const platform::Endpoint& from);
    int32_t MasterRecordOf(const platform::Endpoint& address) const;
    bool Poll(uint32_t turn, uint32_t skipFailed);
    void SendHold(const platform::Endpoint& to, uint8_t complete);
    void SendRepairBlock();
    void ResendOpenRepair(protocol::Time now);
    void EndTransfer(uint32_t code);
    // No master is left: the end, once no Finish is awaited.
    void EndWhenNobodyIsLeft();
    void AskForFinishes(protocol::Time now);
    // A Poll outside the master's turn (a resend, or to a former master).
    void SendPoll(const platform::Endpoint& to, uint32_t turn);
    void MarkUnfinished(uint32_t code);
    bool Send(const uint8_t* data, size_t length, const platform::Endpoint& to);
    void CloseSockets();

    // ---- WatchdogContext ----
    uint32_t RequestFile() const override { return lastRequestFile_; }
    uint32_t RequestBlock() const override { return lastRequestBlock_; }
    uint32_t FileCount() const override { return fileCount_; }
    int32_t Master() const override { return masterIndex_; }
    void SetMaster(int32_t index) override { Appoint(index); }
    bool MasterHasSpoken() const override { return masterSpoke_; }
    int32_t ReceiverCount() const override { return roster_.count(); }
    bool AwaitingFirstCompletion() const override { return awaitingFirstCompletion_; }
    int32_t NextMaster(int32_t current) override { return roster_.NextMaster(current); }
    bool PollMaster(uint32_t turn, uint32_t skipFailed) override { return Poll(turn, skipFailed); }
    void ResendRepair() override { SendRepairBlock(); }
    void MarkMasterTimedOut() override { roster_.MarkPending(masterIndex_, TIVLO_CODE_TIMED_OUT); }
    void GiveUp() override;
    // A new master: it has said nothing yet.
    void Appoint(int32_t index);
    // The block's bytes as the file was when the transfer started: cut, or
    // filled with zeros.
    size_t ReadBlock(Reader reader, uint32_t file, uint32_t block, uint8_t* out);

    SenderIo& io_;
    protocol::HostSink& host_;
    Roster roster_;
    Watchdog watchdog_;

    platform::Endpoint group_;
    uint32_t wideNames_ = 1;
    bool socketsClosed_ = false;

    // Session and transfer state.
    bool collecting_ = false;
    bool collectFailed_ = false;
    bool transferring_ = false;
    bool finished_ = false;
    bool stopped_ = false;
    bool aborting_ = false;
    bool announcing_ = false;
    bool answersShut_ = false;
    bool repairing_ = false;  // the first Poll went out: masters take turns
    bool awaitingFirstCompletion_ = true;
    bool allReceiversWide_ = true;
    std::shared_ptr<const TransferList> list_;
    uint32_t fileCount_ = 0;
    uint32_t totalBlocks_ = 0;
    // Each file's length when the transfer started: the stream and every
    // Repair block keep to it.
    std::vector<uint64_t> lengths_;
    std::vector<uint32_t> changedFiles_;
    uint32_t rate_ = 0;
    int32_t masterIndex_ = 0;
    bool masterSpoke_ = false;
    uint32_t failedCount_ = 0;
    uint32_t lastRequestFile_ = 0;
    uint32_t lastRequestBlock_ = 0;
    platform::Endpoint masterAddress_;

    std::deque<Step> script_;
    protocol::Time scriptAt_ = protocol::kNever;

    // The stream.
    struct Stream {
        bool active = false;
        uint32_t file = 0;  // current file index; 0 before the first
        uint32_t block = 0;
        uint32_t lastIndex = 0;
        uint64_t length = 0;
        uint32_t sendsSincePause = 0;
        protocol::Time at = protocol::kNever;
        protocol::Time startedAt = 0;
        std::optional<StreamPacer> pacer;
        std::vector<uint8_t> packet;
    } stream_;

    protocol::Time watchdogAt_ = protocol::kNever;
    protocol::Time reportAt_ = protocol::kNever;

    // The Repair block buffer keeps its head between requests for one file.
    std::vector<uint8_t> repairPacket_;
    bool repairOpen_ = false;
    uint32_t lastRepairFile_ = 0;
    // With a rate: the master's request last served, for a quick resend.
    protocol::Time openRepairAt_ = protocol::kNever;
    uint32_t openRepairFile_ = 0;
    uint32_t openRepairBlock_ = 0;
    int32_t openRepairMaster_ = -1;
    uint32_t openRepairResends_ = 0;
    // With a rate: a new master that does not answer its Poll is polled
    // again after 2, 4, 8 ... ms, before the watchdog's ticks take over.
    protocol::Time pollAgainAt_ = protocol::kNever;
    uint32_t pollResends_ = 0;
    int32_t polledMaster_ = -1;
    // At a set rate: masters that said they have everything, whose Finish
    // (0) is awaited while the next master is served.
    struct AwaitedFinish {
        int32_t record;
        protocol::Time at;  // when it is asked for again
        uint32_t resends;
    };
    std::vector<AwaitedFinish> awaitedFinish_;
    std::vector<AwaitedFinish>::iterator Awaited(int32_t record);  // end() when not awaited
    bool endAwaitsFinishes_ = false;  // nobody is left to serve
    protocol::Time now_ = 0;
};

}  // namespace tivlo::sender
