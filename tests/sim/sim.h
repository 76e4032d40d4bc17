// A deterministic simulator of one sender core and many receiver cores on
// virtual time: a network with loss (independent and in bursts),
// duplication, reordering and delay; hosts that die, fall silent or start
// late; hostile datagrams; and in-memory files that check every write
// against the source. Every run is a function of its plan and seed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/time.h"

namespace tivlo::sim {

using protocol::kNever, protocol::Ms, protocol::Time;

struct Link {
    double loss = 0;        // independent loss, 0..1
    double burstEnter = 0;  // chance per datagram to enter a burst of losses
    double burstStay = 0;   // chance per datagram to stay in it
    double duplicate = 0;
    Time delay = Ms(0) + 100000;  // 0.1 ms one way
    Time jitter = 0;              // extra random delay: reorders
};

struct ReceiverPlan {
    Link down;  // sender to receiver (multicast and unicast)
    Link up;    // receiver to sender
    Time startsAt = 0;
    Time diesAt = kNever;
    Time silentFrom = kNever;
    Time silentUntil = kNever;
    bool narrow = false;            // not an NT-family system
    bool rogue = false;             // as master, asks for block 0 of file 1 for ever
    bool eager = false;             // asks for a missing block at each Repair block it hears
    uint64_t freeBytes = UINT64_MAX;
    bool fixedDisk = true;
    // A slow disk: blocks the writer takes a second (0: no limit), and its
    // buffers.
    uint32_t diskBlocksPerSecond = 0;
    uint32_t bufferBlocks = 2048;
};

struct Plan {
    uint64_t seed = 1;
    std::vector<uint64_t> fileSizes;
    uint32_t emptyDirectories = 0;
    uint32_t rateKbps = 0;  // 0: the fixed pace
    std::vector<ReceiverPlan> receivers;
    Time stopAt = kNever;        // the sender's host calls StopSend
    Time restartAt = kNever;     // and StartSend again, for the same task
    Time senderDiesAt = kNever;
    double hostilePerSecond = 0;  // datagrams from strangers
    Time strangerAckEvery = kNever;  // a stranger's Ack for a block, this often
    // Files whose length changes after the transfer started (index, new
    // length).
    std::vector<std::pair<uint32_t, uint64_t>> resized;
    bool verifyEveryByte = false;
    // The sender's link: datagrams leave one after another at this rate (0:
    // no limit), and the receivers' repair window (1: one request at a time).
    uint64_t linkBitsPerSecond = 0;
    uint32_t repairWindow = 64;
    bool traceWire = false;  // keep what the sender sent and heard
};

// A datagram the sender sent (to a receiver, or to the group: host -1) or
// heard; value is the u32 at offset 3 where the packet has one, else the
// byte there.
struct WireEvent {
    Time at = 0;
    bool toSender = false;
    int host = -1;
    uint8_t type = 0;
    uint32_t value = 0;
};

struct ReceiverOutcome {
    bool dead = false;           // died during the run (cannot be told)
    bool joined = false;         // in the sender's roster
    bool toldComplete = false;   // 1040 (0, 1)
    bool toldFailure = false;    // any other 1040 that ends its part
    uint32_t lastCode = 0;
    uint32_t tasksEnded = 0;     // final messages of its host
    bool exactCopy = false;
    uint32_t errInfoCode = 0;    // what GetErrInfo says of it (0: nothing)
    std::string copyProblem{};
    size_t namesHeard = 0;       // distinct file names its host was told
};

struct Result {
    bool senderEnded = false;     // its final 1040 arrived
    uint32_t senderCode = 0;
    bool senderToldStarted = false;
    uint64_t senderNames = 0;     // its host's 1042s
    Time endedAt = 0;             // when everything had ended
    Time limit = 0;
    Time streamStart = 0;         // the first Data block left
    Time streamEnd = 0;           // the last one left
    Time senderEndedAt = 0;       // its host's final message
    uint64_t dataBlocks = 0;
    uint64_t repairBlocks = 0;
    bool outsideRoot = false;     // a write or directory outside the target
    bool runaway = false;         // stopped after far more events than any run needs
    std::vector<ReceiverOutcome> receivers;
    std::vector<uint32_t> changedFiles;  // as the sender reports them
    std::vector<WireEvent> wire;         // with traceWire
};

Result Simulate(const Plan& plan);

// A plan drawn from the seed: a few files, a few receivers, random loss,
// deaths, silences, stops and hostile datagrams.
Plan RandomPlan(uint64_t seed);

// Empty when the run kept every promise; otherwise what it broke.
std::string CheckOutcome(const Plan& plan, const Result& result);

}  // namespace tivlo::sim
