// The receiver's protocol, free of threads, sockets and clocks: a state
// machine that takes the sender's datagrams, the heartbeat, timer ticks and
// the writer's results, each with the current time, and acts through
// ReceiverIo (answers, file operations, the machine's target and disk) and
// HostSink (messages to the host). ClientEngine runs it on real sockets and
// a write thread; the simulator runs it on virtual time.
#pragma once

#include <array>
#include <deque>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/endpoint.h"
#include "protocol/host_sink.h"
#include "protocol/packets.h"
#include "protocol/time.h"
#include "receiver/missing_set.h"

namespace tivlo::receiver {

inline constexpr uint32_t kMaxTargetPath = 260;
inline constexpr uint32_t kAllBitsMode = 0xFFFFFFFFu;

// One block for the writer: written at block × 4254 in the file at path.
struct BlockWrite {
    uint32_t generation = 0;  // the task it belongs to
    uint32_t file = 0;
    uint32_t block = 0;
    uint32_t lastIndex = 0;
    uint16_t lastLength = 0;
    bool stream = false;      // a Data block (batched) or a Repair block
    const std::u16string* path = nullptr;  // below the task's root
    const uint8_t* data = nullptr;
    uint32_t length = 0;
};

// What the writer tells the core, in the order of its operations.
struct WriteResult {
    enum Kind { FileFailed, WriteFailed, Drained } kind = Drained;
    uint32_t generation = 0;
    uint32_t file = 0;
    uint32_t token = 0;
};

class ReceiverIo {
public:
    virtual ~ReceiverIo() = default;
    // An answer from the data socket to the sender at toAddr (its port is the
    // data port + 2); false when it could not be sent.
    virtual bool Send(uint32_t toAddr, const uint8_t* data, size_t length) = 0;
    // One datagram waiting on the report socket (at most capacity bytes);
    // -1 when none waits.
    virtual int ReadReport(uint8_t* buffer, size_t capacity, uint32_t* fromAddr) = 0;
    // The target root of a Task on this machine; false when a special folder
    // cannot be located (the previous root stays).
    virtual bool ResolveTarget(uint32_t mode, const std::u16string& path, std::u16string* root) = 0;
    // The receiver's policy: true when the root may be used (it may be
    // replaced by its resolved form).
    virtual bool AllowRoot(std::u16string* root) = 0;
    // 1: room on a fixed disk; 0: not enough room; 1002: not a fixed disk.
    virtual uint32_t CheckDisk(const std::u16string& root, uint64_t neededBytes) = 0;

    // File operations, carried out in order by the writer. A new task drops
    // what an older one left queued; its root is opened once accepted, and
    // every path after that lies below it (relative, beginning with the
    // platform's separator).
    virtual void BeginTask(uint32_t generation) = 0;
    virtual void OpenRoot(uint32_t generation, const std::u16string& root) = 0;
    virtual void MakeDirectories(uint32_t generation, const std::u16string& relative) = 0;
    // False when no buffer is free (waiting at most waitMs for one).
    virtual bool Write(const BlockWrite& block, uint32_t waitMs) = 0;
    // The writer answers Drained with this token once everything before it
    // is on disk.
    virtual void Drain(uint32_t token) = 0;
    // Tears the receiver down (an answer could not be sent).
    virtual void Fatal() = 0;
};

class ReceiverCore {
public:
    // A master keeps up to a window of Acks in flight, each naming a block
    // it misses; the window grows with every block that comes at the first
    // asking, halves when one has to be asked for again, and stays within
    // kMaxWindow. One whose Repair does not come within the retransmission
    // time (two round trips, at least kMinRto) is asked for again.
    static constexpr uint32_t kFirstWindow = 32;
    static constexpr uint32_t kMaxWindow = 64;
    static constexpr protocol::Time kMinRto = protocol::Ms(1);
    static constexpr protocol::Time kFirstRto = protocol::Ms(100);
    static constexpr protocol::Time kMaxBackoff = protocol::Ms(100);
    // With a window of one (a master that asks for one block at a time),
    // an unanswered Ack is repeated after this long, at most twice.
    static constexpr protocol::Time kAckRepeat = protocol::Ms(2000);
    static constexpr uint32_t kMaxAckRepeats = 2;
    static constexpr protocol::Time kReportRead = protocol::Ms(4000);
    static constexpr uint32_t kRepairSlotWaitMs = 100;
    // A Data block that finds every buffer waiting for the disk waits this
    // long for one; the socket's buffer holds the stream meanwhile, so a
    // short stall of the disk (a file being created) costs no repair.
    static constexpr uint32_t kStreamSlotWaitMs = 10;

    ReceiverCore(ReceiverIo& io, protocol::HostSink& host, uint32_t ntFlag, uint32_t maxWindow = kMaxWindow);

    // ---- Events ----
    // A datagram on the data socket; true when the receive part has ended.
    bool OnDatagram(protocol::Time now, const platform::Endpoint& from, const uint8_t* data, size_t length);
    void OnTick(protocol::Time now);
    void OnWriteResult(protocol::Time now, const WriteResult& result);
    protocol::Time NextWake() const;

    // ---- State ----
    // The receive thread's work is over: its part ended and the writer has
    // drained, it gave up, or it was stopped.
    bool Done() const { return done_; }
    // Its part has ended, but the sender's heartbeat goes on: it may still
    // ask this receiver how it ended.
    bool Lingering() const { return done_ && watching_ && !stopped_; }
    bool Stopped() const { return stopped_; }
    bool Ended() const { return ended_; }
    uint32_t generation() const { return generation_; }
    const MissingSet& missing() const { return missing_; }
    const std::u16string& targetRoot() const { return root_; }

    // Names from the wire (pure, exposed for tests and fuzzing).
    std::u16string ConvertName(const uint8_t* field, uint32_t count) const;
    bool ReadWireName(const uint8_t* field, uint32_t count, std::u16string* name) const;

private:
    struct FileState {
        uint32_t lastIndex = 0;
        std::u16string path;  // below the root; empty: unusable name
        bool touched = false;  // a block of it went to the writer in this task
        bool failed = false;
    };

    bool HandleCollect();
    bool HandleTask(const uint8_t* packet, size_t length);
    bool HandleEmptyDirectories(const uint8_t* packet, size_t length);
    bool HandleDataBlock(const uint8_t* packet, size_t length);
    bool HandleServerOs(const uint8_t* packet, size_t length);
    bool HandlePoll(const uint8_t* packet, size_t length);
    bool HandleHold(const uint8_t* packet, size_t length);
    bool HandleRepairBlock(const uint8_t* packet, size_t length);
    bool HandleFinish();

    // A block that fits the task (its indexes, its shape, its bytes).
    bool Fits(const protocol::Block& block) const;
    // Its file's state, the shape fixed by its first block (nullptr:
    // refused).
    FileState* AcceptBlock(const protocol::Block& block);
    bool QueueBlock(const protocol::Block& block, FileState& file, uint32_t waitMs);
    void AnnounceName(const uint8_t* field, uint32_t count);
    bool EndOfPassAnswer();
    bool TakeInPass();
    void SendAnswer(uint32_t missing);
    int SendAck();
    // The master's requests: the window kept full of Acks for missing blocks
    // (or the Ack that says nothing is missing), a block that came, and the
    // requests whose Repair is overdue.
    void FillWindow();
    void Answered(uint32_t file, uint32_t block);
    void AskAgain();
    protocol::Time Rto() const;
    void SendFinish(uint8_t code);
    bool SendJoin();
    void GiveUp(uint32_t code);
    void SetEnded();
    void CheckReports();
    bool ReadOneReport();

    ReceiverIo& io_;
    protocol::HostSink& host_;
    uint32_t ntFlag_;
    uint32_t nameWide_ = 1;
    protocol::Time now_ = 0;

    uint32_t replyAddress_ = 0;
    uint32_t senderAddress_ = 0;  // the source of the accepted Task
    uint32_t turnFlag_ = 0;
    bool inPass_ = false;
    bool ended_ = false;
    bool stopped_ = false;
    bool done_ = false;
    uint32_t fileCount_ = 0;
    uint32_t totalBlocks_ = 0;
    uint32_t wantedFile_ = 1;
    uint32_t wantedBlock_ = 0;
    bool taskAccepted_ = false;
    // The task's sender fell silent and the host was told: a new sender's
    // Task may start another task.
    bool senderLost_ = false;
    // After its part ended, the sender started another task, which this
    // receiver did not take: whatever it is asked now is about that one.
    bool sentAnotherTask_ = false;
    uint32_t generation_ = 0;
    uint32_t rootOpened_ = 0;  // the generation whose root the writer has
    std::array<uint8_t, protocol::task::kSize> lastTask_{};
    std::u16string root_;
    struct Position {
        uint32_t file = 0;
        uint32_t block = 0;
        uint32_t count = 0;
    } streamPos_;
    MissingSet missing_;
    std::unordered_map<uint32_t, FileState> files_;
    std::unordered_set<std::u16string> usedPaths_;  // folded, this task
    uint64_t claimedBlocks_ = 0;

    struct Request {
        BlockRef block;
        protocol::Time sentAt = 0;
        uint32_t tries = 0;
        uint32_t passed = 0;  // blocks asked for after it that came first
    };
    // The sender answers Acks in order: a block asked for earlier that
    // this many later ones have overtaken was lost, and is asked for again
    // without waiting for its time.
    static constexpr uint32_t kOvertaken = 3;
    std::deque<Request> inFlight_;
    protocol::Time Due(const Request& r) const;
    // One open request asked for once more, now.
    void AskAgainFor(Request& r);
    uint32_t maxWindow_;
    uint32_t window_ = kFirstWindow;
    BlockRef cursor_;  // the last block asked for in order
    protocol::Time srtt_ = 0;

    // The writer's drain once the part has ended.
    uint32_t drainToken_ = 0;
    bool draining_ = false;
    bool finishAfterDrain_ = false;  // the sender asked: it hears the outcome
    bool writeFailed_ = false;

    // The heartbeat watch: one read of the report socket per check.
    bool watching_ = false;
    protocol::Time reportAt_ = protocol::kNever;
    int reportTries_ = 0;

    // The announced file name, converted again only when its field changes.
    std::u16string announcedName_;
    std::array<uint8_t, protocol::kNameFieldBytes> announcedField_{};
    uint32_t announcedFieldBytes_ = 0;
    uint32_t announcedCount_ = 0;
    uint32_t announcedWide_ = 2;
};

// A wire name ("\dir\file") as a path below a target root, in the
// platform's form. False for a name that could leave the root: not beginning
// with '\', a second leading separator, a drive or stream colon, or a ".."
// component. stripReserved deletes '/', '*', '?', '>' and '<' first, as file
// names are treated.
bool WireNameToRelative(const std::u16string& name, bool stripReserved, std::u16string* relative);

}  // namespace tivlo::receiver
