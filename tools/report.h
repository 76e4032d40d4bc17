// The --json reports of both programs: a small JSON writer and the records
// each program fills during a transfer. The field names are a stable
// interface for scripts; the manual pages document them.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common.h"

namespace tivlo_tool {

// Compact JSON, one value after another: keys and values of objects,
// items of arrays. Strings are UTF-8; broken sequences become U+FFFD.
class JsonWriter {
public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(const char* key);
    JsonWriter& String(const std::string& text);
    JsonWriter& String(const std::optional<std::string>& text);  // null when empty
    JsonWriter& Integer(uint64_t value);
    JsonWriter& Integer(const std::optional<uint64_t>& value);  // null when empty
    JsonWriter& Real(double value, int decimals);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();
    const std::string& text() const { return out_; }

private:
    void Value();  // the comma before a value that is not the first

    std::string out_;
    std::vector<bool> empty_;  // per open object or array: nothing in it yet
    bool afterKey_ = false;
};

// "DISK_FULL" for 112 and so on: the TIVLO_CODE_* name without its prefix;
// "UNKNOWN" for a code the header does not define.
const char* CodeName(uint32_t code);

using WallClock = std::chrono::system_clock;
// 2025-05-20T09:30:00.250Z
std::string FormatUtc(WallClock::time_point time);

// One receiver as the sender's report lists it.
enum class ReceiverOutcome { Complete, Failed, NeverJoined };
struct ReceiverRecord {
    uint32_t address = 0;  // IPv4, network order
    ReceiverOutcome outcome = ReceiverOutcome::Failed;
    std::optional<uint64_t> code;  // none for a receiver that never joined
    std::optional<uint64_t> blocksRepaired;
    std::optional<uint64_t> missed;
    std::optional<uint64_t> bytes;  // the task's, once it has everything
    bool expected = false;          // on the --expect list
};

struct SendReport {
    std::vector<std::string> paths;
    std::optional<std::string> target;  // --target
    std::optional<std::string> folder;  // --folder, as given
    uint64_t files = 0;
    uint64_t bytes = 0;
    std::optional<uint64_t> blocks;  // once the transfer started
    NetOptions net;
    std::optional<uint64_t> rateKbps;  // none: the fixed pace
    WallClock::time_point start;
    WallClock::time_point end;
    std::string result = "failed";  // ok, failed, stopped
    uint32_t code = 0;              // of the end of the transfer (message 1040)
    std::optional<std::string> error;
    int exitStatus = kExitFailed;
    uint64_t blocksStreamed = 0;
    uint64_t repairBlocks = 0;
    double streamSeconds = 0.0;
    uint64_t joined = 0;                  // receivers when the transfer started
    std::optional<uint64_t> complete;     // when the outcome tells
    std::vector<ReceiverRecord> receivers;  // in order of joining, then those that never joined
    std::vector<std::string> changedFiles;  // relative names
};
std::string SendReportJson(const SendReport& report);

struct ReceiveReport {
    NetOptions net;
    bool haveTask = false;
    uint64_t files = 0;
    uint64_t blocks = 0;
    std::string outcome = "interrupted";  // complete, failed, interrupted
    std::optional<uint64_t> code;           // none when interrupted
    uint64_t blocksReceived = 0;
    WallClock::time_point start;
    WallClock::time_point end;
};
std::string ReceiveReportJson(const ReceiveReport& report);

}  // namespace tivlo_tool
