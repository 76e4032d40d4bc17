#include "common.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace tivlo_tool {

std::optional<uint32_t> ParseIpv4(const std::string& text) {
    uint32_t parts[4];
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != '.') return std::nullopt;
            ++pos;
        }
        size_t start = pos;
        uint32_t value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
            value = value * 10 + uint32_t(text[pos] - '0');
            ++pos;
        }
        if (pos == start || value > 255) return std::nullopt;
        parts[i] = value;
    }
    if (pos != text.size()) return std::nullopt;
    // Network order: the first part is the lowest-addressed byte.
    uint8_t bytes[4] = {uint8_t(parts[0]), uint8_t(parts[1]), uint8_t(parts[2]), uint8_t(parts[3])};
    uint32_t address;
    std::memcpy(&address, bytes, 4);
    return address;
}

std::string FormatIpv4(uint32_t networkOrder) {
    uint8_t bytes[4];
    std::memcpy(bytes, &networkOrder, 4);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

std::optional<uint32_t> ParseNumber(const std::string& text, uint32_t low, uint32_t high) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + uint64_t(c - '0');
    }
    if (value < low || value > high) return std::nullopt;
    return uint32_t(value);
}

std::u16string Utf8ToUtf16(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    const size_t n = text.size();
    auto byte = [&](size_t k) { return uint8_t(text[k]); };
    while (i < n) {
        uint32_t c = byte(i);
        uint32_t code = 0xFFFD;
        size_t len = 1;
        if (c < 0x80) {
            code = c;
        } else {
            size_t extra = 0;
            uint32_t min = 0;
            if ((c & 0xE0) == 0xC0) { extra = 1; code = c & 0x1F; min = 0x80; }
            else if ((c & 0xF0) == 0xE0) { extra = 2; code = c & 0x0F; min = 0x800; }
            else if ((c & 0xF8) == 0xF0) { extra = 3; code = c & 0x07; min = 0x10000; }
            bool ok = extra > 0 && i + extra < n;
            if (ok) {
                for (size_t k = 1; k <= extra; ++k) {
                    if ((byte(i + k) & 0xC0) != 0x80) { ok = false; break; }
                    code = (code << 6) | (byte(i + k) & 0x3F);
                }
            }
            if (ok && (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) ok = false;
            if (ok) {
                len = extra + 1;
            } else {
                code = 0xFFFD;
                len = 1;
            }
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(char16_t(0xD800 + (code >> 10)));
            out.push_back(char16_t(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(char16_t(code));
        }
        i += len;
    }
    return out;
}

static void AppendUtf8(std::string* out, uint32_t code) {
    if (code < 0x80) {
        out->push_back(char(code));
    } else if (code < 0x800) {
        out->push_back(char(0xC0 | (code >> 6)));
        out->push_back(char(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(char(0xE0 | (code >> 12)));
        out->push_back(char(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(char(0x80 | (code & 0x3F)));
    } else {
        out->push_back(char(0xF0 | (code >> 18)));
        out->push_back(char(0x80 | ((code >> 12) & 0x3F)));
        out->push_back(char(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(char(0x80 | (code & 0x3F)));
    }
}

std::string Utf16ToUtf8(const char16_t* text) {
    std::string out;
    if (text == nullptr) return out;
    for (size_t i = 0; text[i] != 0; ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(text[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(&out, c);
    }
    return out;
}

std::string Utf16ToUtf8(const std::u16string& text) { return Utf16ToUtf8(text.c_str()); }

std::filesystem::path PathFromUtf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string PathToUtf8(const std::filesystem::path& path) {
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string NetOptions::Describe() const {
    std::string text = "group " + (group != 0 ? FormatIpv4(group) : std::string("235.9.2.9"));
    text += " port " + std::to_string(port != 0 ? port : 27001u);
    text += " interface " + (iface != 0 ? FormatIpv4(iface) : std::string("of the default route"));
    return text;
}

bool ParseNetOption(const std::string& name, const std::string& value, NetOptions* options,
                    std::string* error) {
    // An empty group or interface keeps the default (a service's setting left empty).
    if ((name == "group" || name == "interface") && value.empty()) return true;
    if (name == "group") {
        auto address = ParseIpv4(value);
        uint8_t first = 0;
        if (address) std::memcpy(&first, &*address, 1);
        if (!address || first < 224 || first > 239) {
            *error = "invalid multicast group '" + value + "' (a dotted quad in 224.0.0.0/4)";
            return false;
        }
        options->group = *address;
        return true;
    }
    if (name == "port") {
        // The sender also binds port + 2, so leave room for it.
        auto port = ParseNumber(value, 1, 65533);
        if (!port) {
            *error = "invalid port '" + value + "' (1 to 65533)";
            return false;
        }
        options->port = *port;
        return true;
    }
    if (name == "interface") {
        auto address = ParseIpv4(value);
        if (!address) {
            *error = "invalid interface address '" + value + "' (a dotted quad)";
            return false;
        }
        options->iface = *address;
        return true;
    }
    *error = "unknown option '--" + name + "'";
    return false;
}

void UsageError(const Program& program, const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program.name, message.c_str(),
                 program.name);
    std::exit(kExitUsage);
}

namespace {
enum CommonId { kGroup = 'g', kPort = 'p', kInterface = 'i', kVerbose = 'v', kHelp = 'h', kVersion = 'V', kJson = 900 };
}  // namespace

std::vector<OptionDef> WithCommonOptions(std::vector<OptionDef> own) {
    own.insert(own.end(), {{"group", 'g', true, kGroup},
                           {"port", 'p', true, kPort},
                           {"interface", 'i', true, kInterface},
                           {"json", 0, false, kJson},
                           {"verbose", 'v', false, kVerbose},
                           {"help", 'h', false, kHelp},
                           {"version", 'V', false, kVersion}});
    return own;
}

void CommonOption(const ParsedOption& option, const Program& program, CommonOptions* common) {
    std::string error;
    switch (option.id) {
        case kGroup:
            if (!ParseNetOption("group", option.value, &common->net, &error)) UsageError(program, error);
            break;
        case kPort:
            if (!ParseNetOption("port", option.value, &common->net, &error)) UsageError(program, error);
            break;
        case kInterface:
            if (!ParseNetOption("interface", option.value, &common->net, &error)) UsageError(program, error);
            break;
        case kJson: common->json = true; break;
        case kVerbose: common->verbose = true; break;
        case kHelp: program.usage(stdout); std::exit(kExitOk);
        case kVersion: std::printf("%s (Tivlo) %s\n", program.name, TIVLO_TOOLS_VERSION); std::exit(kExitOk);
        default: UsageError(program, "unhandled option");
    }
}

std::string SenderEndMeaning(uint32_t code) {
    switch (code) {
        case TIVLO_CODE_OK: return "transfer over";
        case TIVLO_CODE_FILE_ERROR: return "a file could not be read, or a repair block could not be sent";
        case TIVLO_CODE_SEND_FAILED: return "a packet could not be sent (socket failure)";
        case TIVLO_CODE_ANOTHER_SENDER: return "another sender already uses the group";
        case TIVLO_CODE_TIMED_OUT: return "the repair phase timed out";
        default: return "unknown code";
    }
}

std::string ReceiverEndMeaning(uint32_t code) {
    switch (code) {
        case TIVLO_CODE_OK: return "the sender stopped the transfer";
        case TIVLO_CODE_DISK_FULL: return "not enough free disk space for the task";
        case TIVLO_CODE_CREATE_FAILED: return "a file could not be created";
        case TIVLO_CODE_NOT_FIXED: return "the target is not on a fixed local disk";
        case TIVLO_CODE_SEND_FAILED: return "a packet could not be sent (socket failure)";
        case TIVLO_CODE_SENDER_LOST: return "the sender's heartbeat was lost";
        case TIVLO_CODE_PATH_TOO_LONG: return "a target path is longer than 260 characters";
        case TIVLO_CODE_INCOMPLETE: return "the task ended with blocks still missing or not written";
        default: return "unknown code";
    }
}

std::string ErrInfoMeaning(uint32_t code) {
    switch (code) {
        case TIVLO_CODE_OK: return "did not say that it has everything";
        case TIVLO_CODE_TOO_MANY_MISSED: return "missed more than 30 % of the blocks, not repaired";
        case TIVLO_CODE_DISK_FULL: return "gave up (full disk or another failure on the receiver)";
        case TIVLO_CODE_TIMED_OUT: return "timed out, or was passed over in the repair phase";
        default: return "unknown code";
    }
}

std::string SelectResultMeaning(int result) {
    switch (result) {
        case 1: return "accepted";
        case 2: return "a path is longer than 260 characters";
        case 3: return "a path is shorter than 3 characters";
        case 4: return "a path is not absolute";
        case 5: return "a path holds a character that receivers cannot store (* ? < > \" | :)";
        case 6: return "out of memory while storing the selection";
        case 7: return "files whose names hold characters that receivers cannot store (* ? < > \" | :) were left out";
        default: return "unknown result";
    }
}

EventWindow::~EventWindow() { Destroy(); }

bool EventWindow::Create() {
    handle_ = TivloCreateWindow(&EventWindow::Proc, this);
    return handle_ != 0;
}

void EventWindow::Destroy() {
    if (handle_ != 0) {
        TivloDestroyWindow(handle_);
        handle_ = 0;
    }
    std::lock_guard<std::mutex> guard(lock_);
    queue_.clear();
}

void EventWindow::Proc(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    auto* self = static_cast<EventWindow*>(context);
    Event event;
    event.message = message;
    event.wParam = wParam;
    event.lParam = lParam;
    // The name lives only for this call.
    if (message == TIVLO_MSG_CURRENT_FILE && lParam != 0) {
        event.name = Utf16ToUtf8(reinterpret_cast<const char16_t*>(lParam));
        event.lParam = 0;
    }
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        self->queue_.push_back(std::move(event));
    }
    self->ready_.notify_one();
}

bool EventWindow::Wait(Event* event, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock_);
    if (!ready_.wait_for(guard, limit, [this] { return !queue_.empty(); })) return false;
    *event = std::move(queue_.front());
    queue_.pop_front();
    return true;
}

namespace {

void LogLine(void*, const char16_t* line) {
    std::string text = Utf16ToUtf8(line);
    // Many lines carry no line break of their own; without one they would
    // run into each other and into the program's output.
    if (text.empty() || text.back() != '\n') text += '\n';
    WriteStderr(text);
}

}  // namespace

void EnableLibraryLog() { TivloSetLogSink(&LogLine, nullptr); }

std::string HumanBytes(double bytes) {
    const char* units[] = {"B", "kB", "MB", "GB", "TB"};
    int unit = 0;
    while (bytes >= 1000.0 && unit < 4) {
        bytes /= 1000.0;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%.0f %s", bytes, units[unit]);
    else
        std::snprintf(text, sizeof text, "%.1f %s", bytes, units[unit]);
    return text;
}

Progress::Progress(std::string verb) : verb_(std::move(verb)) { tty_ = StderrTerminal(&columns_); }

void Progress::Start(uint32_t totalBlocks) {
    total_ = totalBlocks;
    blocks_ = 0;
    current_.clear();
    started_ = true;
    finished_ = false;
    start_ = std::chrono::steady_clock::now();
    lastDraw_ = start_;
}

void Progress::Block(const std::string& name) {
    ++blocks_;
    if (!name.empty()) current_ = name;
}

double Progress::Elapsed() const {
    if (!started_) return 0.0;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

static std::string Clock(double seconds) {
    auto total = uint64_t(seconds);
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, total / 3600,
                      (total / 60) % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%02" PRIu64 ":%02" PRIu64, total / 60, total % 60);
    return text;
}

// Terminal columns of UTF-8 text, one per character (wide characters are
// rare in file names and only make the line a little short).
static int Columns(const std::string& text) {
    int columns = 0;
    for (char c : text)
        if ((uint8_t(c) & 0xC0) != 0x80) ++columns;
    return columns;
}

std::string Progress::Line(int width) const {
    double elapsed = Elapsed();
    // Past the total come repair blocks; the bar shows the stream.
    uint32_t shown = blocks_ < total_ ? blocks_ : total_;
    double fraction = total_ == 0 ? 1.0 : double(shown) / double(total_);
    double rate = elapsed > 0.0 ? double(blocks_) * kBlockBytes / elapsed : 0.0;
    char numbers[160];
    std::snprintf(numbers, sizeof numbers, "%3d%% %u/%u blocks %s %s/s %s", int(fraction * 100.0),
                  shown, total_, verb_.c_str(), HumanBytes(rate).c_str(), Clock(elapsed).c_str());
    std::string extra;
    if (blocks_ > total_) extra = " +" + std::to_string(blocks_ - total_) + " repair";
    if (!tty_) {
        std::string line = std::string("progress: ") + numbers + extra;
        if (!current_.empty()) line += " file " + current_;
        return line;
    }
    int barWidth = width >= 100 ? 30 : 20;
    std::string bar = "[";
    int filled = int(fraction * barWidth);
    for (int i = 0; i < barWidth; ++i) bar += i < filled ? '#' : '-';
    bar += "] ";
    std::string line = bar + numbers + extra;
    // Keep to one terminal row; a long name loses its head, where the
    // folders are, not the file's own name.
    int room = width - 1 - Columns(line) - 2;
    if (!current_.empty() && room >= 8) {
        std::string name = current_;
        if (Columns(name) > room) {
            size_t start = 0;
            while (Columns(name.substr(start)) > room - 3) {
                ++start;
                while (start < name.size() && (uint8_t(name[start]) & 0xC0) == 0x80) ++start;
            }
            name = "..." + name.substr(start);
        }
        line += "  " + name;
    }
    while (Columns(line) > width - 1) {
        line.pop_back();
        while (!line.empty() && (uint8_t(line.back()) & 0xC0) == 0x80) line.pop_back();
        if (!line.empty() && (uint8_t(line.back()) & 0xC0) == 0xC0) line.pop_back();
    }
    return line;
}

void Progress::Draw(bool force) {
    if (!started_ || finished_) return;
    auto now = std::chrono::steady_clock::now();
    auto interval = tty_ ? std::chrono::milliseconds(200) : std::chrono::milliseconds(2000);
    if (!force && now - lastDraw_ < interval) return;
    lastDraw_ = now;
    if (tty_) {
        StderrTerminal(&columns_);
        // Spaces to the end of the row wipe a longer line drawn before.
        std::string line = Line(columns_);
        line.append(size_t(std::max(0, columns_ - 1 - Columns(line))), ' ');
        WriteStderr("\r" + line);
        barOpen_ = true;
    } else {
        WriteStderr(Line(0) + "\n");
    }
}

void Progress::Finish() {
    if (!started_ || finished_) return;
    Draw(true);
    finished_ = true;
    if (tty_ && barOpen_) {
        WriteStderr("\n");
        barOpen_ = false;
    }
}

// Links resolved as far as the path exists, without a trailing separator;
// empty when it cannot be.
static std::filesystem::path ResolvedPath(const std::string& path) {
    std::error_code ec;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(PathFromUtf8(path), ec);
    if (ec) return {};
    resolved = resolved.lexically_normal();
    if (resolved.has_relative_path() && !resolved.has_filename()) resolved = resolved.parent_path();
    return resolved;
}

// Inside `outer` and not `outer` itself, compared component by component.
static bool StrictlyBelow(const std::filesystem::path& inner, const std::filesystem::path& outer) {
    const auto [o, i] = std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
    return o == outer.end() && i != inner.end();
}

std::vector<std::u16string> DefaultAllowedRoots(const std::string& workingDirectory) {
    std::vector<std::u16string> roots;
    char16_t folder[4096];
    const uint32_t capacity = uint32_t(sizeof folder / sizeof folder[0]);
    // The folders are the user's whose profile (40) they lie in; a setting
    // or link of theirs must not make a receiver running as root take "/",
    // a system folder or another user's folder.
    const uint32_t homeLength = TivloGetUserFolder(40, folder, capacity);
    const auto home = homeLength > 0 ? ResolvedPath(Utf16ToUtf8(std::u16string(folder, homeLength))) : "";
    if (home.has_relative_path()) {
        for (uint32_t csidl : {0u, 5u, 13u, 14u, 39u}) {
            const uint32_t length = TivloGetUserFolder(csidl, folder, capacity);
            if (length == 0) continue;
            const auto real = ResolvedPath(Utf16ToUtf8(std::u16string(folder, length)));
            if (StrictlyBelow(real, home) && OwnedLike(real, home)) roots.emplace_back(folder, length);
        }
    }
    // The working directory, unless it is the root of everything (a
    // service's).
    const auto here = PathFromUtf8(workingDirectory);
    if (!workingDirectory.empty() && ResolvedPath(workingDirectory).has_relative_path() && here != here.root_path())
        roots.push_back(Utf8ToUtf16(workingDirectory));
    return roots;
}

}  // namespace tivlo_tool
