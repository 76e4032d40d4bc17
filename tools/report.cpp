#include "report.h"

#include <cinttypes>
#include <cstdio>

namespace tivlo_tool {

void JsonWriter::Value() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!empty_.empty()) {
        if (!empty_.back()) out_ += ',';
        empty_.back() = false;
    }
}

JsonWriter& JsonWriter::BeginObject() {
    Value();
    out_ += '{';
    empty_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::EndObject() {
    out_ += '}';
    empty_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::BeginArray() {
    Value();
    out_ += '[';
    empty_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::EndArray() {
    out_ += ']';
    empty_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::Key(const char* key) {
    String(std::string(key));
    out_ += ':';
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::String(const std::string& text) {
    Value();
    out_ += '"';
    // The round trip replaces what is not UTF-8, so the output always is.
    for (char c : Utf16ToUtf8(Utf8ToUtf16(text))) {
        switch (c) {
            case '"': out_ += "\\\""; break;
            case '\\': out_ += "\\\\"; break;
            case '\n': out_ += "\\n"; break;
            case '\r': out_ += "\\r"; break;
            case '\t': out_ += "\\t"; break;
            default:
                if (uint8_t(c) < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", unsigned(uint8_t(c)));
                    out_ += escape;
                } else {
                    out_ += c;
                }
        }
    }
    out_ += '"';
    return *this;
}

JsonWriter& JsonWriter::String(const std::optional<std::string>& text) { return text ? String(*text) : Null(); }

JsonWriter& JsonWriter::Integer(uint64_t value) {
    Value();
    out_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Integer(const std::optional<uint64_t>& value) { return value ? Integer(*value) : Null(); }

JsonWriter& JsonWriter::Real(double value, int decimals) {
    Value();
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    out_ += text;
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
    Value();
    out_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null() {
    Value();
    out_ += "null";
    return *this;
}

const char* CodeName(uint32_t code) {
    switch (code) {
        case TIVLO_CODE_OK: return "OK";
        case TIVLO_CODE_TOO_MANY_MISSED: return "TOO_MANY_MISSED";
        case TIVLO_CODE_FILE_ERROR: return "FILE_ERROR";
        case TIVLO_CODE_DISK_FULL: return "DISK_FULL";
        case TIVLO_CODE_CREATE_FAILED: return "CREATE_FAILED";
        case TIVLO_CODE_NOT_FIXED: return "NOT_FIXED";
        case TIVLO_CODE_SEND_FAILED: return "SEND_FAILED";
        case TIVLO_CODE_SENDER_LOST: return "SENDER_LOST";
        case TIVLO_CODE_ANOTHER_SENDER: return "ANOTHER_SENDER";
        case TIVLO_CODE_PATH_TOO_LONG: return "PATH_TOO_LONG";
        case TIVLO_CODE_INCOMPLETE: return "INCOMPLETE";
        case TIVLO_CODE_TIMED_OUT: return "TIMED_OUT";
        default: return "UNKNOWN";
    }
}

std::string FormatUtc(WallClock::time_point time) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(time);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss clock{ms - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(clock.hours().count()),
                  int(clock.minutes().count()), int(clock.seconds().count()), int(clock.subseconds().count()));
    return text;
}

namespace {

const char* OutcomeName(ReceiverOutcome outcome) {
    switch (outcome) {
        case ReceiverOutcome::Complete: return "complete";
        case ReceiverOutcome::Failed: return "failed";
        case ReceiverOutcome::NeverJoined: return "never_joined";
    }
    return "failed";
}

void Network(JsonWriter& json, const NetOptions& net) {
    json.Key("network").BeginObject();
    json.Key("group").String(FormatIpv4(net.group != 0 ? net.group : *ParseIpv4("235.9.2.9")));
    json.Key("port").Integer(net.port != 0 ? net.port : 27001u);
    json.Key("interface").String(net.iface != 0 ? std::optional(FormatIpv4(net.iface)) : std::nullopt);
    json.EndObject();
}

void Times(JsonWriter& json, WallClock::time_point start, WallClock::time_point end) {
    json.Key("start").String(FormatUtc(start));
    json.Key("end").String(FormatUtc(end));
    json.Key("seconds").Real(std::chrono::duration<double>(end - start).count(), 3);
}

void Header(JsonWriter& json, const char* program) {
    json.BeginObject();
    json.Key("program").String(std::string(program));
    json.Key("version").String(std::string(TIVLO_TOOLS_VERSION));
}

}  // namespace

std::string SendReportJson(const SendReport& r) {
    JsonWriter json;
    Header(json, "tivlo-send");
    json.Key("task").BeginObject();
    json.Key("paths").BeginArray();
    for (const auto& path : r.paths) json.String(path);
    json.EndArray();
    json.Key("target").String(r.target);
    json.Key("folder").String(r.folder);
    json.Key("files").Integer(r.files);
    json.Key("bytes").Integer(r.bytes);
    json.Key("blocks").Integer(r.blocks);
    json.EndObject();
    Network(json, r.net);
    json.Key("rate_kbps").Integer(r.rateKbps);
    Times(json, r.start, r.end);
    json.Key("result").String(r.result);
    json.Key("code").Integer(r.code);
    json.Key("code_name").String(std::string(CodeName(r.code)));
    json.Key("error").String(r.error);
    json.Key("exit_status").Integer(uint64_t(r.exitStatus));
    json.Key("stream").BeginObject();
    json.Key("blocks").Integer(r.blocksStreamed);
    json.Key("repair_blocks").Integer(r.repairBlocks);
    json.Key("seconds").Real(r.streamSeconds, 3);
    json.EndObject();
    uint64_t failed = 0, neverJoined = 0;
    for (const auto& receiver : r.receivers) {
        failed += receiver.outcome == ReceiverOutcome::Failed ? 1 : 0;
        neverJoined += receiver.outcome == ReceiverOutcome::NeverJoined ? 1 : 0;
    }
    const uint64_t listed = r.receivers.size() - neverJoined;
    json.Key("receiver_counts").BeginObject();
    json.Key("joined").Integer(r.joined);
    json.Key("complete").Integer(r.complete);
    json.Key("failed").Integer(failed);
    json.Key("unlisted").Integer(r.joined > listed ? r.joined - listed : 0);
    json.Key("never_joined").Integer(neverJoined);
    json.EndObject();
    json.Key("receivers").BeginArray();
    for (const auto& receiver : r.receivers) {
        json.BeginObject();
        json.Key("address").String(FormatIpv4(receiver.address));
        json.Key("outcome").String(std::string(OutcomeName(receiver.outcome)));
        json.Key("code").Integer(receiver.code);
        json.Key("code_name").String(receiver.code ? std::optional<std::string>(CodeName(uint32_t(*receiver.code)))
                                                   : std::nullopt);
        json.Key("blocks_repaired").Integer(receiver.blocksRepaired);
        json.Key("bytes").Integer(receiver.bytes);
        json.Key("missed").Integer(receiver.missed);
        json.Key("expected").Bool(receiver.expected);
        json.EndObject();
    }
    json.EndArray();
    json.Key("changed_files").BeginArray();
    for (const auto& name : r.changedFiles) json.String(name);
    json.EndArray();
    json.EndObject();
    return json.text();
}

std::string ReceiveReportJson(const ReceiveReport& r) {
    JsonWriter json;
    Header(json, "tivlo-recv");
    Network(json, r.net);
    json.Key("task");
    if (r.haveTask) {
        json.BeginObject();
        json.Key("files").Integer(r.files);
        json.Key("blocks").Integer(r.blocks);
        json.EndObject();
    } else {
        json.Null();
    }
    json.Key("outcome").String(r.outcome);
    json.Key("code").Integer(r.code);
    json.Key("code_name").String(r.code ? std::optional<std::string>(CodeName(uint32_t(*r.code))) : std::nullopt);
    json.Key("blocks_received").Integer(r.blocksReceived);
    // Whole blocks: a file's last block counts in full.
    const uint64_t taken = r.blocksReceived < r.blocks ? r.blocksReceived : r.blocks;
    json.Key("bytes").Integer(taken * kBlockBytes);
    Times(json, r.start, r.end);
    json.EndObject();
    return json.text();
}

}  // namespace tivlo_tool
