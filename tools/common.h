// Code shared by tivlo-send and tivlo-recv: option values, text conversion,
// the meanings of the library's codes, the host window that turns library
// messages into events for the main thread and the progress display.
// Uses the library only through its public header; the system only through
// console.h and the standard library.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "console.h"
#include "options.h"
#include "tivlo/tivlo.h"

namespace tivlo_tool {

// Exit statuses common to both programs.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Dotted quad to an IPv4 address in network byte order; nullopt when the text
// is not exactly four decimal numbers 0..255.
std::optional<uint32_t> ParseIpv4(const std::string& text);
std::string FormatIpv4(uint32_t networkOrder);
// A decimal number within [low, high]; nullopt for anything else.
std::optional<uint32_t> ParseNumber(const std::string& text, uint32_t low, uint32_t high);

// UTF-8 and UTF-16. Invalid UTF-8 sequences become U+FFFD; unpaired
// surrogates in UTF-16 become U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const char16_t* text);
std::string Utf16ToUtf8(const std::u16string& text);
// File-system paths from and to UTF-8 on every system (a plain std::string
// means the ANSI code page on Windows).
std::filesystem::path PathFromUtf8(const std::string& text);
std::string PathToUtf8(const std::filesystem::path& path);

// The network options both programs take.
struct NetOptions {
    uint32_t group = 0;  // network order; 0: the library's default group
    uint32_t port = 0;   // 0: the library's default port
    uint32_t iface = 0;  // network order; 0: the interface of the default route
    std::string Describe() const;
};
// Handles --group, --port and --interface (the value in `value`). Returns
// false with a message in *error when the value is bad.
bool ParseNetOption(const std::string& name, const std::string& value, NetOptions* options,
                    std::string* error);

// The options both programs take besides the network ones.
struct CommonOptions {
    NetOptions net;
    bool verbose = false;
    bool json = false;  // the outcome as JSON on standard output, all else on standard error
};

// A program's name and its --help text, for the command-line handling both
// programs share.
struct Program {
    const char* name;          // "tivlo-send", "tivlo-recv"
    void (*usage)(FILE* out);  // writes the --help text
};
// "NAME: MESSAGE" and a pointer to --help on standard error; exits with
// kExitUsage.
[[noreturn]] void UsageError(const Program& program, const std::string& message);
// The program's own options followed by those of CommonOption.
std::vector<OptionDef> WithCommonOptions(std::vector<OptionDef> own);
// An option that the program's own are not: --group, --port, --interface,
// --verbose and --json into *common; --help and --version print and exit.
void CommonOption(const ParsedOption& option, const Program& program, CommonOptions* common);
// Parses the command line; every option goes to handle in order, and a
// mistake in the syntax ends the program as a usage error once the options
// before it are handled. Returns the operands.
template <typename Handle>
std::vector<std::string> ForEachOption(const Program& program, const std::vector<std::string>& args,
                                       const std::vector<OptionDef>& defs, Handle handle) {
    CommandLine line = ParseCommandLine(args, defs);
    for (const auto& option : line.options) handle(option);
    if (!line.error.empty()) UsageError(program, line.error);
    return line.operands;
}

// What a code of message 1040 or of GetErrInfo means, in words.
std::string SenderEndMeaning(uint32_t code);
std::string ReceiverEndMeaning(uint32_t code);
std::string ErrInfoMeaning(uint32_t code);
// Results 2..7 of SetSelectFiles.
std::string SelectResultMeaning(int result);

// One library message, with the file name of message 1042 copied out.
struct Event {
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    std::string name;  // message 1042 only, UTF-8
};

// A host window whose messages queue up for the main thread. Messages come
// from a library thread; the main thread waits for them with a time limit so
// it can also redraw progress and react to signals.
class EventWindow {
public:
    EventWindow() = default;
    ~EventWindow();
    EventWindow(const EventWindow&) = delete;
    EventWindow& operator=(const EventWindow&) = delete;

    bool Create();
    void Destroy();
    TivloWindow handle() const { return handle_; }

    // Waits until an event is queued or the time is up; true with the event.
    bool Wait(Event* event, std::chrono::milliseconds limit);

private:
    static void Proc(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam);

    TivloWindow handle_ = 0;
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<Event> queue_;
};

// --verbose: the library's log lines to standard error.
void EnableLibraryLog();

// Progress of a transfer, drawn as a bar on a terminal and as plain lines
// every few seconds otherwise. Writes to standard error.
class Progress {
public:
    explicit Progress(std::string verb);  // "sent" or "received"
    void Start(uint32_t totalBlocks);
    void Block(const std::string& name);  // one more block
    uint32_t blocks() const { return blocks_; }
    uint32_t total() const { return total_; }
    double Elapsed() const;               // seconds since Start
    // Redraws when due; force draws now (and a final line ends the bar).
    void Draw(bool force = false);
    // Ends the bar's line so other output can follow.
    void Finish();
    bool started() const { return started_; }

private:
    std::string Line(int width) const;

    std::string verb_;
    bool tty_ = false;
    int columns_ = 80;
    bool started_ = false;
    bool barOpen_ = false;
    bool finished_ = false;
    uint32_t total_ = 0;
    uint32_t blocks_ = 0;
    std::string current_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

// 20.3 MB, 512 KB...: decimal units as transfer rates use.
std::string HumanBytes(double bytes);

inline constexpr uint32_t kBlockBytes = 4254;

// The folders a receiver takes tasks for when its operator names none: the
// logged-on user's desktop, documents, music, videos and pictures that the
// library can locate, each only where it lies below that user's home (links
// resolved) and belongs to the home's owner, and the working directory
// unless it is "/" (a service's, which would allow everything).
std::vector<std::u16string> DefaultAllowedRoots(const std::string& workingDirectory);

}  // namespace tivlo_tool
