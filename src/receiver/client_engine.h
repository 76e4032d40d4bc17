// The receiver: one engine object that holds the sockets, threads, queues and
// maps of the receiving side.
//
// Threads: the receive thread (dispatcher and repair handlers), the write
// thread (block queue to files), the gap thread (gap records to missing-block
// entries) and the report listener (the sender's heartbeat). Each flag and
// each list has a lock of its own; where two are held, the ended lock comes
// before the stop lock.
//
// Memory bounds. The block queue is a pool of blockPoolCapacity buffers of
// 4796 bytes (kBlockPoolBlocks, 2048 by default: 9.4 MiB plus 8 bytes of head
// each), taken once at the first initialisation and reused; a block costs no
// allocation. When the disk is slower than the network and every buffer
// waits for the write thread, an arriving Data block is treated as lost: it
// is registered in the missing-block map and repaired later. A wanted Repair
// block waits briefly for a buffer and otherwise stays missing and is asked
// for again. The missing-block map holds at most the task's block count of
// entries: each file's last-block index is fixed by the first block seen of
// it, and the files together may not claim more blocks than the Task. The
// gap list grows by one record per forward jump of the stream, so at most by
// the task's block count too.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/file.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "protocol/packets.h"
#include "protocol/wire.h"

namespace tivlo::receiver {

inline constexpr uint32_t kWriteBufferBlocks = 30;
// Buffers of the block queue (see the bounds above).
inline constexpr uint32_t kBlockPoolBlocks = 2048;
// How long a wanted Repair block waits for a free buffer.
inline constexpr uint32_t kRepairSlotWaitMs = 100;
inline constexpr uint32_t kMaxTargetPath = 260;
inline constexpr uint32_t kAllBitsMode = 0xFFFFFFFFu;
inline constexpr uint32_t kCsidlDesktop = 0;
inline constexpr uint32_t kCsidlCommonDesktop = 25;

// Waits of the receiver, in protocol milliseconds.
inline constexpr uint32_t kCloseWaitMs = 5000;
inline constexpr uint32_t kGapWaitMs = 60000;
inline constexpr uint32_t kReportReadMs = 4000;
inline constexpr uint32_t kReceivePollMs = 200;
// A master whose Ack went unanswered (its Repair block or the Ack itself
// lost) asks again after this long, at most kMaxAckRepeats times for one
// request: the sender re-sends a lost Repair block only once before it
// passes the master over, which at a few per cent of loss strands receivers.
inline constexpr uint32_t kAckRepeatMs = 2000;
inline constexpr uint32_t kMaxAckRepeats = 2;

// Completion codes of the receiver that the host header names too.
inline constexpr uint32_t kCodeDiskFull = 112;
inline constexpr uint32_t kCodeCreateFailed = 1001;
inline constexpr uint32_t kCodeNotFixed = 1002;
inline constexpr uint32_t kCodeSendFailed = 1003;
inline constexpr uint32_t kCodeSenderLost = 1004;
inline constexpr uint32_t kCodePathTooLong = 1007;
inline constexpr uint32_t kCodeIncomplete = 1008;

// A received Data or Repair block datagram waiting for the write thread. The
// task generation tells the write thread when a new task has begun.
struct QueuedBlock {
    uint32_t generation = 0;
    uint32_t length = 0;
    std::array<uint8_t, protocol::kMaxBlockPacket> bytes;
};

// Gap in the Data block stream: the position before it and the block that
// revealed it.
struct GapRecord {
    uint32_t prevFile = 0;
    uint32_t prevBlock = 0;
    uint32_t prevCount = 0;
    uint32_t newFile = 0;
    uint32_t newBlock = 0;
    uint32_t newCount = 0;
};

struct MissingEntry {
    uint32_t file = 0;
    uint32_t block = 0;
};

// The missing-block key: PadIndex(file) followed by PadIndex(block), kept in
// a fixed array so that a key costs no allocation.
using MissingKey = std::array<char, 20>;
struct MissingKeyHash {
    size_t operator()(const MissingKey& key) const noexcept {
        return std::hash<std::string_view>()(std::string_view(key.data(), key.size()));
    }
};
using MissingMap = std::unordered_map<MissingKey, MissingEntry, MissingKeyHash>;

struct StreamPosition {
    uint32_t file = 0;
    uint32_t block = 0;
    uint32_t count = 0;
};

// PadIndex: decimal, zero-padded to ten digits.
std::string PadIndex(uint32_t value);
MissingKey MakeMissingKey(uint32_t file, uint32_t block);
// The entry (file, block) under its key; a present key is replaced.
void StoreMissing(MissingMap& map, uint32_t file, uint32_t block);
// Removes a key; true when it was present.
bool RemoveMissing(MissingMap& map, const MissingKey& key);
// Creates every directory along a path; 1.
int CreatePath(const std::u16string& path);
// A wire name ("\dir\file") as a path below a target root, in the platform's
// form. False for a name that could leave the root: not beginning with '\',
// a second leading separator, a drive or stream colon, or a ".." component.
// stripReserved deletes '/', '*', '?', '>' and '<' first, as file names are
// treated.
bool WireNameToRelative(const std::u16string& name, bool stripReserved, std::u16string* relative);
// 1 on an NT-family system.
uint32_t IsNtPlatform();

// A root as the policy compares it: absolute, symbolic links resolved as far
// as the path exists, no "." or ".." left; false when it is none.
bool NormalizeRoot(const std::u16string& root, std::u16string* normalized);
// True when root lies in (or is) one of the allowed directories.
bool RootWithin(const std::u16string& root, const std::vector<std::u16string>& allowed);
// The same for a root already normalised.
bool NormalizedRootWithin(std::u16string root, const std::vector<std::u16string>& allowed);

class ClientEngine {
public:
    ClientEngine();
    virtual ~ClientEngine();
    ClientEngine(const ClientEngine&) = delete;
    ClientEngine& operator=(const ClientEngine&) = delete;

    // ---- Settings stored by the exports ----
    uintptr_t hostWindow = 0;
    uint32_t groupAddress = 0;  // network order
    uint16_t dataPort = 0;      // host order

    // The receiver's policy over target roots (our addition, nothing on the
    // wire): with a list set, a Task whose root lies outside every directory
    // of it is refused like a drive that is not fixed. An empty list clears
    // the policy. Kept across initialisations.
    void SetAllowedRoots(const std::vector<std::u16string>& roots);

    // InitClient's initialisation; 1 when both sockets are ready.
    int Initialize(uint32_t interfaceAddress);
    // StartReceive: the receive thread, then the write thread.
    void StartThreads();
    // DeInitClient, and every fatal failure. Runs once per initialisation;
    // safe on any thread, also on a receiver thread.
    void CloseAll();

    // ---- Receive thread: stream pass ----
    void ReceiveLoop();
    // One datagram as the receive loop read it (exactly length bytes from
    // its source); true when the receive thread ends.
    bool HandleDatagram(const uint8_t* buffer, size_t length, const platform::Endpoint& from);
    // True when a block's file may have this last-block index: the same as
    // the file's earlier blocks, and within the Task's block count.
    bool AcceptFileShape(uint32_t file, uint32_t lastIndex);
    // True when the policy lets the current target root be used; the root
    // is then replaced by its resolved form. Logs why not otherwise.
    bool TargetRootAllowed();
    bool HandleCollect();
    bool HandleTask(const uint8_t* packet, size_t length);
    bool HandleStop();
    bool HandleEmptyDirectories(const uint8_t* packet, size_t length);
    bool HandleDataBlock(const uint8_t* packet, size_t length);
    bool HandleServerOs(const uint8_t* packet, size_t length);
    int SendJoin();
    void SendFinish(uint8_t code);
    void NotifyHost(uint32_t code, intptr_t lParam = 0);
    void GiveUp(uint32_t code);

    // ---- Receive thread: repair phase ----
    bool HandlePoll(const uint8_t* packet, size_t length);
    bool HandleHold(const uint8_t* packet, size_t length);
    bool HandleRepairBlock(const uint8_t* packet, size_t length);
    bool HandleFinish(const uint8_t* packet, size_t length);
    // Closes the stream pass: registers what was never seen, waits for the
    // gap thread and sends the Answer. True when nothing is missing.
    bool EndOfPassAnswer();
    // Takes the in-pass flag: true when it was set (it is now clear).
    bool TakeInPass();
    // The wanted file and block from the first entry of the map, or file
    // count + 1 and 0 when the map is empty.
    void ChooseWanted();
    int SendAck();
    // Sends the last Ack again when the master has waited kAckRepeatMs for
    // the block it named.
    void RepeatStalledAck();

    // ---- Target path, names, disk ----
    int ResolveTargetPath(uint32_t mode, const std::u16string& path);
    // The folder a special-folder mode names for the user logged on here, as
    // a Task with that mode resolves it; false when it cannot be located.
    bool ResolveSpecialFolder(uint32_t mode, std::u16string* folder);
    int MapProfilePath(std::u16string* path);
    int GetLogonProfileName(std::u16string* name);
    std::u16string ConvertName(const uint8_t* field, uint32_t count) const;
    // ConvertName, refusing a name with a NUL before its last character.
    bool ReadWireName(const uint8_t* field, uint32_t count, std::u16string* name) const;
    uint32_t CheckDiskSpace(uint64_t neededBytes);
    std::u16string TargetRoot() const;
    void SetTargetRoot(const std::u16string& root);

    // ---- Write thread, gap thread, shared structures ----
    void WriteLoop();
    void WriteBlock(const QueuedBlock& block);
    void FlushWriteBuffer();
    void GapLoop();
    void ExpandGap(const GapRecord& record);
    void ProcessLost(const protocol::Block& block);
    void DestoryAll();
    void StartGapThread();
    void StartReportListener();

    // ---- Report listener ----
    void ReportLoop();

    // ---- Flags under their locks ----
    bool Ended();
    void SetEnded(uint32_t value);
    bool Stopped();
    void SetStop();
    bool EndedOrStopped();
    bool InPass();

    // ---- Locked views for the repair handlers and tests ----
    size_t MissingCount();
    bool MissingEmpty();
    bool GapsEmpty();
    size_t QueuedCount();
    // Copies a block datagram into a free buffer of the pool and queues it;
    // false when every buffer is taken (waiting at most waitMs for one).
    bool Queue(const uint8_t* packet, size_t length, uint32_t waitMs = 0);
    // The write thread's side: the front buffer (nullptr when none), and its
    // return to the pool once written.
    QueuedBlock* TakeQueued();
    void ReleaseQueued(QueuedBlock* block);
    // Takes the pool's buffers (once; the capacity is fixed from then on).
    void AllocateBlockPool();
    void AppendGap(const GapRecord& record);

    // ---- Fields ----
    std::u16string announcedName;  // receive thread
    // The name field announcedName was converted from (receive thread): a
    // stream repeats one name for every block of a file, so it is converted
    // again only when the field changes, without an allocation per block.
    std::array<uint8_t, protocol::kNameFieldBytes> announcedField{};
    uint32_t announcedFieldBytes = 0;
    uint32_t announcedCount = 0;
    uint32_t announcedWide = 2;  // none yet
    void AnnounceName(const uint8_t* field, uint32_t count);
    mutable platform::Lock rootLock;
    std::u16string targetRoot;  // under rootLock
    std::vector<std::u16string> allowedRoots;  // under rootLock; empty: no policy

    // Write thread.
    std::unique_ptr<uint8_t[]> writeBuffer;
    uint32_t writeBlockCount = 0;
    uint32_t writeByteCount = 0;
    platform::File currentFile;
    uint32_t fileOpen = 0;
    uint32_t currentFileIndex = 0;
    uint32_t lastBufferedBlock = 0;
    uint32_t writerGeneration = 0;
    uint32_t writeFailed = 0;
    std::unordered_set<uint32_t> openedThisTask;

    std::atomic<uint32_t> nameWide{1};
    uint32_t turnFlag = 0;       // receive thread
    uint32_t inPass = 0;         // inPassLock
    uint32_t gapThreadActive = 0;  // inPassLock
    uint32_t ended = 0;          // endedLock
    uint32_t stop = 0;           // stopLock
    uint32_t fileCount = 0;      // receive thread
    uint32_t totalBlocks = 0;    // receive thread
    uint32_t wantedBlock = 0;
    uint32_t wantedFile = 1;
    // The last Ack sent, when, and how often it was repeated (receive thread).
    uint32_t ackedFile = 0;
    uint32_t ackedBlock = 0;
    uint64_t ackedAtMs = 0;
    uint32_t ackRepeats = 0;
    uint32_t taskAccepted = 0;   // receive thread
    std::atomic<uint32_t> taskGeneration{0};
    std::array<uint8_t, protocol::kTaskSize> lastTask{};
    std::unordered_set<uint32_t> touchedThisTask;  // receive thread
    // Each file's last-block index as its first block gave it, and the
    // blocks those files claim together (receive thread).
    std::unordered_map<uint32_t, uint32_t> fileShapes;
    uint64_t claimedBlocks = 0;
    bool threadStartPending = true;  // receive thread

    platform::Event gapDone;
    platform::Event receiveDone;
    platform::Event writeDone;
    // Set by CloseAll: cuts the sleeps of the listener and the gap thread.
    platform::Event closing;

    // The block queue: a ring of indices into a pool of reused buffers.
    uint32_t blockPoolCapacity = kBlockPoolBlocks;  // set before the first Initialize
    std::unique_ptr<QueuedBlock[]> blockPool;
    uint32_t blockPoolSize = 0;
    std::vector<uint32_t> freeSlots;   // queueLock
    std::vector<uint32_t> queueRing;   // queueLock
    uint32_t queueHead = 0;            // queueLock
    uint32_t queueCount = 0;           // queueLock
    uint32_t queuePeak = 0;            // queueLock; most buffers queued at once
    std::atomic<uint32_t> poolOverflows{0};  // blocks treated as lost for want of a buffer
    // Test hook, run by the write thread before each block (set before the
    // threads start): a slow disk.
    std::function<void(const QueuedBlock&)> beforeWriteHook;
    std::deque<GapRecord> gapList;                        // gapLock
    std::atomic<uint32_t> replyAddress{0};  // network order; port is data port + 2
    platform::Endpoint sourceAddress;       // receive thread
    StreamPosition streamPos;               // receive thread
    GapRecord stagingGap;                   // receive thread
    MissingMap missing;                     // missingLock

    platform::Lock queueLock;
    platform::Lock gapLock;
    platform::Lock stopLock;
    platform::Lock inPassLock;
    platform::Lock endedLock;
    platform::Lock missingLock;

    uint32_t ntFlag = 1;
    std::atomic<uint32_t> closed{1};  // nothing to close before the first initialisation
    uint32_t interfaceAddr = 0;
    uint32_t joinedGroup = 0;  // the data membership, left by CloseAll

    platform::UdpSocket dataSocket;
    platform::UdpSocket reportSocket;

    // Threads last: they are joined before anything they use is destroyed.
    platform::Thread receiveThread;
    platform::Thread writeThread;
    platform::Thread gapThread;
    platform::Thread reportThread;
};

}  // namespace tivlo::receiver
