// The sender: one engine object that holds the sockets, threads, lists,
// roster and packet buffers of the sending side.
//
// Threads: the host's thread (the exports), ackThread (AnswerLoop), and per
// transfer sendThread (SendLoop), reportThread (ReportLoop) and
// watchdogThread (WatchdogLoop). Every field those threads share is atomic or
// guarded by a lock; the rest is written only while no thread of the engine
// runs (SetUp, SetSelectFiles) or before a transfer's threads start.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "protocol/packets.h"
#include "protocol/wire.h"

namespace tivlo::sender {

inline constexpr int kRosterSize = 200;

class StreamPacer;

// Error codes a receiver's record can carry, and codes of message 1040.
inline constexpr uint32_t kCodeTooManyMissed = 1;
inline constexpr uint32_t kCodeFileError = 32;
inline constexpr uint32_t kCodeDiskFull = 112;
inline constexpr uint32_t kCodeSendFailed = 1003;
inline constexpr uint32_t kCodeAnotherSender = 1006;
inline constexpr uint32_t kCodeTimedOut = 1460;

// PollMaster's answer when nobody is left to serve (the transfer has ended).
inline constexpr int kNoMasterLeft = 8;

// A selected path, or a directory without sub-directories (by relative name).
struct SelectionRecord {
    std::u16string name;     // platform path, or relative name with '\' separators
    uint32_t length = 0;     // characters + 1
    protocol::NameField field;  // the name as it goes on the wire
};

// One file to send; its position in transferList, from 1, is its file index.
struct TransferEntry {
    std::u16string fullPath;       // platform path
    uint32_t fullPathLength = 0;   // characters + 1
    std::u16string relativeName;   // below the selection's folder, '\' separators
    uint32_t relativeNameLength = 0;
    protocol::NameField relativeField;
};

struct ReceiverRecord {
    // Written once, before receiverCount is raised past the record (release),
    // and read only below receiverCount (acquire).
    platform::Endpoint address;
    std::atomic<uint32_t> done{0};
    std::atomic<uint32_t> pending{0};
    std::atomic<uint32_t> errorCode{0};
    // It has sent a Finish(1): it counts once among the failed receivers.
    std::atomic<uint32_t> gaveUp{0};
};

class ServerEngine {
public:
    ServerEngine();
    virtual ~ServerEngine();

    // ---- Settings stored by the exports ----
    uintptr_t hostWindow = 0;
    uint32_t groupAddress = 0;  // network order
    uint32_t dataPort = 0;      // host order, low 16 bits used
    uint32_t targetMode = 0;
    std::u16string targetPath;
    uint32_t includeSubdirs = 0;
    uint32_t invalidNameFlag = 0;
    // Send rate in kilobits per second (our addition, TivloSetSendRate);
    // 0 keeps the fixed pauses. Read by SendLoop when a stream begins.
    std::atomic<uint32_t> sendRate{0};

    // ---- Repair state (one lock around all of it) ----
    std::mutex repairLock;
    platform::File repairFile;
    uint32_t repairFileOpen = 0;
    const TransferEntry* repairEntry = nullptr;
    uint32_t lastRepairFile = 0;
    std::array<uint8_t, protocol::kMaxBlockPacket> repairPacket{};
    std::array<uint8_t, protocol::kMaxBlockPacket> repairOutBuffer{};
    uint32_t repairOutLength = 0;

    // ---- Lists (host's thread; read-only while a transfer runs) ----
    std::vector<std::unique_ptr<TransferEntry>> transferList;
    std::vector<std::unique_ptr<SelectionRecord>> selectionList;
    std::vector<std::unique_ptr<SelectionRecord>> emptyDirectoryList;
    int32_t prefixLength = 0;
    uint32_t wideNames = 1;

    // ---- Shared between the threads ----
    std::atomic<uint32_t> allReceiversWide{1};
    std::atomic<int32_t> masterIndex{0};
    std::atomic<int32_t> masterIndexSeen{0};
    std::atomic<int32_t> receiverCount{0};
    std::atomic<int32_t> failedCount{0};
    std::atomic<uint32_t> lastRequestFile{0};
    std::atomic<uint32_t> lastRequestBlock{0};
    std::atomic<uint32_t> fileCount{0};
    std::atomic<uint32_t> totalBlocks{0};
    std::atomic<uint32_t> unicastPhase{0};
    std::atomic<uint32_t> stopFlag{0};
    std::atomic<uint32_t> finishedFlag{0};
    std::atomic<uint32_t> awaitingFirstCompletion{0};
    std::atomic<uint32_t> pendingSeen{0};
    // Times record 0 was chosen again right after itself in the second pass;
    // bounds how often a silent record 0 is polled while others wait.
    std::atomic<uint32_t> recordZeroRepeats{0};
    // Raised by AbortTransfer and DeInit: the answer thread handles nothing
    // more. answerLock is held while one datagram is handled.
    std::atomic<uint32_t> answerShut{0};
    std::mutex answerLock;

    // ---- Quick repair resend (with a send rate; our addition) ----
    // The rate of the current transfer's stream, 0 at the fixed pace. With a
    // rate, the answer thread sends the master's Repair block again when no
    // new Ack follows it within kQuickResendMs (doubling up to
    // kQuickResends times), instead of leaving a lost block to the
    // watchdog's second tick a second later: at 2 % loss that second is
    // what the repair phase would spend nearly all its time on.
    std::atomic<uint32_t> transferRate{0};
    static constexpr uint32_t kQuickResendMs = 10;
    static constexpr uint32_t kQuickResends = 6;
    // With a rate, the pauses before and after the Finish packets.
    static constexpr uint32_t kRateSettleMs = 50;
    // The master's request last served by the answer thread; under
    // answerLock. openRepairAtMs 0: none open.
    uint64_t openRepairAtMs = 0;
    uint32_t openRepairFile = 0;
    uint32_t openRepairBlock = 0;
    int32_t openRepairMaster = -1;
    uint32_t openRepairResends = 0;
    // Sends the open Repair block again when it is due; the time until the
    // next check, in protocol milliseconds.
    uint32_t ResendOpenRepair();

    ReceiverRecord roster[kRosterSize];
    std::atomic<platform::Endpoint> masterAddress{};
    platform::Endpoint lastSourceAddress;  // the answer thread's (and the probe's)
    platform::Endpoint groupEndpoint;
    platform::Endpoint localEndpoint;
    platform::Endpoint reportEndpoint;
    uint32_t interfaceAddress = 0;

    platform::UdpSocket sendSocket;
    platform::UdpSocket receiveSocket;
    platform::UdpSocket reportSocket;

    // Guards the loops' reads of finishedFlag and stopFlag.
    std::mutex stateLock;
    // Wakes the waits of reportThread and watchdogThread when a transfer
    // ends or stops, and those of sendThread when it stops.
    platform::Event endEvent;
    platform::Event stopEvent;

    platform::Thread ackThread;
    platform::Thread sendThread;
    platform::Thread reportThread;
    platform::Thread watchdogThread;
    // Set while the thread's body runs, so a new transfer joins only threads
    // that have ended.
    std::atomic<bool> sendActive{false};
    std::atomic<bool> reportActive{false};
    std::atomic<bool> watchdogActive{false};

    // ---- Lifecycle and sockets ----
    int SetUp(uint32_t interfaceAddress);
    int StartAckThread();
    int CollectReceivers();
    void CloseSockets();
    // DeInitServer: stops and joins every thread, then closes the sockets.
    void DeInit();

    // ---- Transfer start, heartbeat, abort ----
    void BeginTransfer();
    void StartSendThread();
    void StartReportThread();
    void ReportLoop();
    void AbortTransfer();
    // StopSend: ends the stream, the heartbeat and the watchdog, then aborts.
    void Stop();

    // SetTargetPath: 0 (former path kept) when the path does not fit the
    // Task's name field.
    int StoreTargetPath(uint32_t mode, const std::u16string& path);

    // ---- Selection and transfer list ----
    int SetSelectFiles(const std::vector<std::u16string>& paths);
    void ClearSelection();
    int32_t BuildTransferList();
    void WalkDirectory(const std::u16string& directoryPath);
    void AddIfEmptyDirectory(const std::u16string& directoryPath);
    uint64_t CountTotalBlocks();
    uint64_t QueryFileLength(const std::u16string& path);
    int SendEmptyDirectories();

    // ---- Streaming and repair blocks ----
    uint32_t SendLoop();
    // Waits until the pacer lets the next Data block go; 0 on a stop.
    int PaceAtRate(StreamPacer& pacer);
    void SendRepairBlock();
    void SendFinish();
    void StartWatchdog();
    // Forgets the file of the last Repair block (new list or new transfer).
    void DropRepairState();

    // ---- Answers, roster and masters ----
    void AnswerLoop();
    // One answer datagram as AnswerLoop read it (at most 11 bytes, exactly
    // length of them) from its source; true when AnswerLoop ends.
    bool HandleAnswerDatagram(const uint8_t* data, size_t length, const platform::Endpoint& from);
    void AddReceiver(const platform::Endpoint& address);
    int32_t FindReceiver(const platform::Endpoint& address) const;
    void RecordAnswer(const platform::Endpoint& address, uint32_t missing);
    int32_t NextMaster(int32_t current);
    int PollMaster(uint32_t turn, uint32_t skipFailed);
    void SendHold(const platform::Endpoint& address, uint8_t complete);
    void EndTransfer(uint32_t code);

    // True on the thread that runs AnswerLoop.
    static bool OnAnswerThread();

    // ---- Watchdog ----
    void WatchdogLoop();

    int GetErrInfo(uint32_t* out) const;

    // ---- Helpers ----
    bool FinishedOrStopped();
    bool Stopped();
    // Gives every receiver that has not finished and carries no code the
    // given code, so GetErrInfo names each receiver without its copy.
    void MarkUnfinished(uint32_t code);
    // Joins the transfer threads; false when one of them still runs.
    bool JoinEndedTransferThreads();
    protocol::NameField MakeNameField(const std::u16string& name) const;

private:
    // Answer handlers; true ends AnswerLoop.
    bool HandleJoin(const uint8_t* data, size_t length);
    bool HandleAck(const uint8_t* data, size_t length);
    bool HandleFinish(const uint8_t* data, size_t length, std::unique_lock<std::mutex>& handling);
    bool HandleAnswer(const uint8_t* data, size_t length);
    // The master's roster index when the address is the master's, else -1.
    int32_t MasterRecordOf(const platform::Endpoint& address) const;
    // Sends a control packet three times, 10 ms apart; true when one went.
    bool SendThreeTimes(const uint8_t* packet, size_t length);
    bool AddTransferEntry(const std::u16string& fullPath, const std::u16string& relativePosix,
                          bool testIllegal, bool* dropped);
    bool droppedAny_ = false;  // BuildTransferList's drop marker
};

}  // namespace tivlo::sender
