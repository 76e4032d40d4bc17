// tivlo-send: sends files and directories to every tivlo-recv on a multicast
// group, and reports which receivers failed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common.h"
#include "report.h"

using namespace tivlo_tool;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const char* kProgram = "tivlo-send";

// Special folders by name; receivers resolve them for their logged-on user.
struct FolderName {
    const char* name;
    uint32_t csidl;
};
const FolderName kFolders[] = {
    {"desktop", 0}, {"documents", 5}, {"music", 13}, {"videos", 14}, {"pictures", 39}, {"profile", 40},
};

void Usage(FILE* out) {
    std::fprintf(out,
                 "Usage: %s [OPTION]... PATH...\n"
                 "Send files and directories to every tivlo-recv listening on a multicast group.\n"
                 "\n"
                 "The PATHs must lie side by side in one directory; each arrives below the\n"
                 "receivers' target under its own name.\n"
                 "\n"
                 "Target (one is required):\n"
                 "  -t, --target=DIR        store the files in DIR on every receiver\n"
                 "  -f, --folder=NAME       store them in a special folder of the user logged on\n"
                 "                          at each receiver: desktop, documents, music, videos,\n"
                 "                          pictures, profile, or a special-folder number\n"
                 "\n"
                 "Selection:\n"
                 "      --no-subdirs        send only the files directly inside a selected\n"
                 "                          directory, not its sub-directories\n"
                 "      --skip-bad-names    leave out files whose names receivers cannot store\n"
                 "                          (holding * ? < > \" | :) instead of refusing to start\n"
                 "\n"
                 "Receivers:\n"
                 "      --expect=ADDR,...   wait for these receivers (IPv4 addresses or host\n"
                 "                          names) to join before sending; repeatable\n"
                 "      --expect-file=FILE  the same, one address or host name a line; '#'\n"
                 "                          starts a comment\n"
                 "      --min-receivers=N   wait until at least N receivers joined\n"
                 "      --wait=SECONDS      the longest wait (default 60 with --expect or\n"
                 "                          --min-receivers); alone, collect for that long.\n"
                 "                          When it is over, the transfer starts with whoever\n"
                 "                          joined; an expected receiver that did not, or\n"
                 "                          fewer than N, make the outcome a failure\n"
                 "\n"
                 "Network:\n"
                 "  -g, --group=ADDRESS     multicast group (default 235.9.2.9)\n"
                 "  -p, --port=PORT         data port (default 27001); answers come to PORT+2\n"
                 "  -i, --interface=ADDRESS local IPv4 address to send and receive on; without\n"
                 "                          it, multicast leaves by the default route's interface,\n"
                 "                          so name the interface on a machine with several\n"
                 "\n"
                 "Speed:\n"
                 "      --rate=RATE         stream at RATE bits per second, with k, M or G for\n"
                 "                          thousands, millions or billions (500M: 500 Mbit/s;\n"
                 "                          100k; 1G; 1.5G); counted on the datagrams' payload.\n"
                 "                          Without it the protocol's fixed pace holds: at most\n"
                 "                          200 blocks a second, about 0.85 MB/s. Receivers\n"
                 "                          need no option; the network and the receivers'\n"
                 "                          disks must keep up, or more blocks wait for repair.\n"
                 "\n"
                 "Other:\n"
                 "      --json              at the end, print the outcome as one JSON object on\n"
                 "                          standard output; all other lines go to standard error\n"
                 "  -v, --verbose           print the library's log lines on standard error\n"
                 "  -h, --help              display this help and exit\n"
                 "  -V, --version           output version information and exit\n"
                 "\n"
                 "Progress goes to standard error (a bar on a terminal, a line every two\n"
                 "seconds otherwise); the outcome per receiver goes to standard output, or\n"
                 "with --json to standard error. tivlo-send(1) describes the codes and the\n"
                 "JSON report.\n"
                 "Ctrl-C stops the transfer and tells the receivers.\n"
                 "\n"
                 "Exit status: 0 when every receiver got everything, 1 when a receiver failed\n"
                 "or never joined, fewer than --min-receivers joined, or the transfer was\n"
                 "stopped or failed, 2 for a usage or start-up error or when no receiver\n"
                 "joined.\n",
                 kProgram);
}

const Program kTool{kProgram, Usage};

[[noreturn]] void UsageError(const std::string& message) { tivlo_tool::UsageError(kTool, message); }

// With --json, every line meant for a person goes to standard error.
FILE* g_out = stdout;

void Fail(const std::string& message) { std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str()); }

struct Options {
    CommonOptions common;
    bool haveTarget = false;
    uint32_t mode = TIVLO_TARGET_MODE_PATH;
    std::string targetPath;
    std::string folderName;  // as given to --folder
    bool subdirs = true;
    bool skipBadNames = false;
    uint32_t rateKbps = 0;  // 0: the fixed pace
    std::vector<std::string> paths;
    // --expect and --expect-file: each item as given, and where it was given
    // (for messages about names that do not resolve).
    std::vector<std::pair<std::string, std::string>> expectGiven;
    uint32_t minReceivers = 0;          // 0: no number to wait for
    std::optional<uint32_t> waitSeconds;  // none: no wait beyond InitServer's
};

// A receiver the sender waits for: as the operator named it, and the
// addresses it may answer from.
struct Expected {
    std::string name;
    std::vector<uint32_t> addresses;
};

// The most receivers that can join one transfer.
constexpr uint32_t kMaxReceivers = 200;

// "500M", "100k", "1.5G", "2000000": bits per second to kilobits per second
// (at least 1); nullopt when it is no rate or more than the library takes.
std::optional<uint32_t> ParseRate(const std::string& text) {
    size_t end = 0;
    double value = 0;
    try {
        value = std::stod(text, &end);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (text.empty() || !(text[0] >= '0' && text[0] <= '9')) return std::nullopt;
    double scale = 1;
    std::string suffix = text.substr(end);
    if (suffix == "k" || suffix == "K") scale = 1e3;
    else if (suffix == "M") scale = 1e6;
    else if (suffix == "G") scale = 1e9;
    else if (!suffix.empty()) return std::nullopt;
    const double kbps = value * scale / 1e3;
    if (!(kbps >= 1) || kbps > 4294967295.0) return std::nullopt;
    return uint32_t(kbps);
}

// The items of an --expect-file: one a line, '#' to the end of a line and
// blank lines ignored; the second of each pair says where the item stands.
std::vector<std::pair<std::string, std::string>> ReadExpectFile(const std::string& file) {
    std::ifstream in(PathFromUtf8(file));
    if (!in) UsageError("cannot read the list of receivers '" + file + "'");
    std::vector<std::pair<std::string, std::string>> items;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        // Editors on Windows may start the file with a byte-order mark.
        if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        line = line.substr(0, line.find('#'));
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos) continue;
        const std::string item = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
        const std::string where = "line " + std::to_string(number) + " of " + file;
        if (item.find_first_of(" \t,") != std::string::npos)
            UsageError("one address or host name a line, not '" + item + "' (" + where + ")");
        items.emplace_back(item, where);
    }
    if (in.bad()) UsageError("cannot read the list of receivers '" + file + "'");
    return items;
}

// The --expect items resolved to addresses, each receiver once.
std::vector<Expected> ResolveExpected(const std::vector<std::pair<std::string, std::string>>& given) {
    std::vector<Expected> expected;
    for (const auto& [name, where] : given) {
        std::string error;
        std::vector<uint32_t> addresses;
        if (auto quad = ParseIpv4(name)) addresses.push_back(*quad);
        else addresses = ResolveIpv4(name, &error);
        if (addresses.empty()) UsageError("cannot resolve '" + name + "' (" + where + "): " + error);
        const bool repeated = std::any_of(expected.begin(), expected.end(), [&](const Expected& other) {
            return other.addresses.front() == addresses.front();
        });
        if (!repeated) expected.push_back({name, addresses});
    }
    if (expected.size() > kMaxReceivers)
        UsageError("more than " + std::to_string(kMaxReceivers) + " expected receivers, the most that can join");
    return expected;
}

Options ParseArguments(const std::vector<std::string>& args) {
    enum { kTarget = 't', kFolder = 'f', kNoSubdirs = 1000, kSkipBadNames, kRate, kExpect, kExpectFile, kMin, kWait };
    const auto defs = WithCommonOptions({
        {"target", 't', true, kTarget},
        {"folder", 'f', true, kFolder},
        {"no-subdirs", 0, false, kNoSubdirs},
        {"skip-bad-names", 0, false, kSkipBadNames},
        {"rate", 0, true, kRate},
        {"expect", 0, true, kExpect},
        {"expect-file", 0, true, kExpectFile},
        {"min-receivers", 0, true, kMin},
        {"wait", 0, true, kWait},
    });
    Options options;
    options.paths = ForEachOption(kTool, args, defs, [&](const ParsedOption& option) {
        switch (option.id) {
            case kTarget:
                if (options.haveTarget) UsageError("give only one of --target and --folder");
                options.haveTarget = true;
                options.mode = TIVLO_TARGET_MODE_PATH;
                options.targetPath = option.value;
                if (options.targetPath.empty()) UsageError("the target directory is empty");
                // The task's name field holds 259 characters and a terminator.
                if (Utf8ToUtf16(options.targetPath).size() > 259)
                    UsageError("the target directory is longer than 259 characters");
                break;
            case kFolder: {
                if (options.haveTarget) UsageError("give only one of --target and --folder");
                options.haveTarget = true;
                options.folderName = option.value;
                bool found = false;
                for (const auto& folder : kFolders) {
                    if (option.value == folder.name) {
                        options.mode = folder.csidl;
                        found = true;
                    }
                }
                if (!found) {
                    // The all-ones value means "a path", not a folder.
                    auto number = ParseNumber(option.value, 0, 0xFFFFFFFEu);
                    if (!number) UsageError("unknown special folder '" + option.value + "'");
                    options.mode = *number;
                }
                break;
            }
            case kNoSubdirs: options.subdirs = false; break;
            case kSkipBadNames: options.skipBadNames = true; break;
            case kRate: {
                auto rate = ParseRate(option.value);
                if (!rate) UsageError("invalid rate '" + option.value + "' (e.g. 500M, 100k, 1G; at least 1k)");
                options.rateKbps = *rate;
                break;
            }
            case kExpect: {
                size_t start = 0;
                while (true) {
                    const size_t comma = option.value.find(',', start);
                    std::string item = option.value.substr(start, comma - start);
                    if (item.empty()) UsageError("an empty address in --expect '" + option.value + "'");
                    options.expectGiven.emplace_back(item, "--expect");
                    if (comma == std::string::npos) break;
                    start = comma + 1;
                }
                break;
            }
            case kExpectFile:
                for (auto& item : ReadExpectFile(option.value)) options.expectGiven.push_back(std::move(item));
                break;
            case kMin: {
                auto number = ParseNumber(option.value, 1, kMaxReceivers);
                if (!number) UsageError("invalid number of receivers '" + option.value + "' (1 to 200)");
                options.minReceivers = *number;
                break;
            }
            case kWait: {
                auto seconds = ParseNumber(option.value, 0, 86400);
                if (!seconds) UsageError("invalid wait '" + option.value + "' (0 to 86400 seconds)");
                options.waitSeconds = *seconds;
                break;
            }
            default: CommonOption(option, kTool, &options.common); break;
        }
    });
    if (options.paths.empty()) UsageError("no PATH to send");
    if (!options.haveTarget) UsageError("no target: give --target=DIR or --folder=NAME");
    if (!options.waitSeconds && (!options.expectGiven.empty() || options.minReceivers != 0)) options.waitSeconds = 60;
    return options;
}

// Absolute, normalised paths; all of them must share one parent directory,
// because receivers recreate each below the target by its own name.
std::vector<fs::path> ResolvePaths(const std::vector<std::string>& given) {
    std::vector<fs::path> result;
    for (const auto& text : given) {
        std::error_code error;
        const fs::file_status status = fs::symlink_status(PathFromUtf8(text), error);
        if (error || !fs::exists(status)) {
            Fail("cannot access '" + text + "': " +
                 (error ? error.message() : std::make_error_code(std::errc::no_such_file_or_directory).message()));
            std::exit(kExitUsage);
        }
        if (!fs::is_regular_file(status) && !fs::is_directory(status)) {
            Fail("'" + text + "' is neither a regular file nor a directory");
            std::exit(kExitUsage);
        }
        fs::path path = fs::absolute(PathFromUtf8(text)).lexically_normal();
        if (!path.has_filename()) path = path.parent_path();  // "dir/" names dir
        if (path == path.root_path()) {
            Fail("cannot send the root directory");
            std::exit(kExitUsage);
        }
        if (!result.empty() && path.parent_path() != result.front().parent_path()) {
            Fail("the PATHs must lie in one directory ('" + text + "' is not in " +
                 PathToUtf8(result.front().parent_path()) + ")");
            std::exit(kExitUsage);
        }
        result.push_back(path);
    }
    return result;
}

// Files and bytes that a selection contributes, for the rate and the report.
void CountSelection(const std::vector<fs::path>& paths, bool subdirs, SendReport* report) {
    std::error_code error;
    auto add = [&](const fs::directory_entry& entry) {
        if (!entry.is_regular_file(error)) return;
        ++report->files;
        report->bytes += entry.file_size(error);
    };
    for (const auto& path : paths) {
        if (fs::is_regular_file(fs::symlink_status(path, error))) {
            add(fs::directory_entry(path, error));
        } else if (subdirs) {
            for (fs::recursive_directory_iterator it(path, error), end; !error && it != end; it.increment(error)) add(*it);
        } else {
            for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) add(*it);
        }
    }
}

// The roster, in order of joining.
std::vector<TivloReceiverInfo> Roster() {
    std::vector<TivloReceiverInfo> roster(32);
    uint32_t joined = TivloGetReceivers(roster.data(), uint32_t(roster.size()));
    if (joined > roster.size()) {
        roster.resize(joined);
        joined = TivloGetReceivers(roster.data(), joined);
    }
    roster.resize(std::min<size_t>(joined, roster.size()));
    return roster;
}

bool Answers(const Expected& receiver, uint32_t address) {
    return std::find(receiver.addresses.begin(), receiver.addresses.end(), address) != receiver.addresses.end();
}

bool Joined(const Expected& receiver, const std::vector<TivloReceiverInfo>& roster) {
    return std::any_of(roster.begin(), roster.end(),
                       [&](const TivloReceiverInfo& info) { return Answers(receiver, info.address); });
}

// "10.0.0.5", or "pc5 (10.0.0.5)" for a host name.
std::string Describe(const Expected& receiver) {
    const std::string address = FormatIpv4(receiver.addresses.front());
    return receiver.name == address ? address : receiver.name + " (" + address + ")";
}

// The first few names of a list, and how many more there are.
std::string ListNames(const std::vector<const Expected*>& receivers, size_t shown) {
    std::string text;
    for (size_t i = 0; i < receivers.size() && i < shown; ++i) text += (i ? ", " : "") + Describe(*receivers[i]);
    if (receivers.size() > shown) text += " and " + std::to_string(receivers.size() - shown) + " more";
    return text;
}

// Keeps collecting, one more Collect a second, until every expected
// receiver joined and at least --min-receivers did, or the wait is over;
// meanwhile standard error shows who is missing. With neither a list nor a
// number, collects for the whole wait. False when interrupted.
bool WaitForReceivers(const Options& options, const std::vector<Expected>& expected) {
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(*options.waitSeconds);
    const bool goal = !expected.empty() || options.minReceivers != 0;
    auto nextCollect = start + std::chrono::seconds(1);  // InitServer has just collected
    int columns = 80;
    const bool tty = StderrTerminal(&columns);
    Clock::time_point lastDraw{};
    bool drawn = false;
    std::vector<TivloReceiverInfo> roster;
    std::vector<const Expected*> missing;
    while (true) {
        roster = Roster();
        missing.clear();
        for (const auto& receiver : expected)
            if (!Joined(receiver, roster)) missing.push_back(&receiver);
        const auto now = Clock::now();
        const bool enough = missing.empty() && roster.size() >= options.minReceivers;
        if ((goal && enough) || now >= deadline || PendingSignal() != 0) break;
        if (now >= nextCollect) {
            TivloCollect();
            nextCollect = now + std::chrono::seconds(1);
        }
        if (!drawn || now - lastDraw >= (tty ? std::chrono::milliseconds(250) : std::chrono::seconds(5))) {
            const auto left = std::chrono::ceil<std::chrono::seconds>(deadline - now).count();
            std::string line = "waiting for receivers: " + std::to_string(roster.size()) + " joined";
            if (options.minReceivers != 0) line += " of at least " + std::to_string(options.minReceivers);
            line += ", " + std::to_string(left) + " s left";
            if (!missing.empty())
                line += "; " + std::to_string(missing.size()) + " of " + std::to_string(expected.size()) +
                        " expected missing: " + ListNames(missing, tty ? 3 : 10);
            if (tty) {
                // A bar of the receivers still awaited, redrawn in place.
                double done = 1.0;
                if (!expected.empty()) done = double(expected.size() - missing.size()) / double(expected.size());
                if (options.minReceivers != 0)
                    done = std::min(done, std::min(1.0, double(roster.size()) / options.minReceivers));
                if (goal) {
                    std::string bar(20, '-');
                    std::fill_n(bar.begin(), int(done * 20), '#');
                    line = "[" + bar + "] " + line;
                }
                if (line.size() > size_t(columns - 1)) line.resize(size_t(columns - 1));
                while (!line.empty() && (uint8_t(line.back()) & 0xC0) == 0x80) line.pop_back();
                line.append(size_t(columns - 1) - line.size(), ' ');
                WriteStderr("\r" + line);
            } else {
                WriteStderr(line + "\n");
            }
            drawn = true;
            lastDraw = now;
        }
        // Joins come within a millisecond on a LAN: looked for often, so
        // the transfer starts as soon as the last expected one is in.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (tty && drawn) WriteStderr("\r" + std::string(size_t(columns - 1), ' ') + "\r");
    if (PendingSignal() != 0) return false;
    const auto waited = std::chrono::duration<double>(Clock::now() - start).count();
    std::fprintf(g_out, "%zu receiver%s joined after %.1f s", roster.size(), roster.size() == 1 ? "" : "s", waited);
    if (!expected.empty())
        std::fprintf(g_out, "; %s", missing.empty() ? ("all " + std::to_string(expected.size()) + " expected").c_str()
                                                    : (std::to_string(missing.size()) + " expected missing: " +
                                                       ListNames(missing, missing.size())).c_str());
    if (options.minReceivers > roster.size()) std::fprintf(g_out, "; fewer than the %u wanted", options.minReceivers);
    std::fprintf(g_out, "\n");
    return true;
}

// Each receiver of the roster with its outcome, then each expected one that
// never joined.
std::vector<ReceiverRecord> ReadReceivers(const std::vector<Expected>& expected, uint64_t taskBytes) {
    const std::vector<TivloReceiverInfo> roster = Roster();
    std::vector<ReceiverRecord> receivers;
    for (const auto& info : roster) {
        ReceiverRecord receiver;
        receiver.address = info.address;
        // A code outweighs the receiver's own word that it has everything.
        const bool complete = info.code == 0 && info.complete != 0;
        receiver.outcome = complete ? ReceiverOutcome::Complete : ReceiverOutcome::Failed;
        receiver.code = info.code;
        receiver.blocksRepaired = info.repaired;
        receiver.missed = info.missed;
        if (complete) receiver.bytes = taskBytes;
        receiver.expected = std::any_of(expected.begin(), expected.end(),
                                        [&](const Expected& e) { return Answers(e, info.address); });
        receivers.push_back(receiver);
    }
    for (const auto& e : expected) {
        if (Joined(e, roster)) continue;
        ReceiverRecord receiver;
        receiver.address = e.addresses.front();
        receiver.outcome = ReceiverOutcome::NeverJoined;
        receiver.expected = true;
        receivers.push_back(receiver);
    }
    return receivers;
}

// The files whose length changed while they were sent.
std::vector<std::string> ChangedFiles() {
    std::vector<std::string> names;
    std::u16string buffer(4096, u'\0');
    for (uint32_t index = 0;; ++index) {
        const uint32_t length = TivloGetChangedFile(index, buffer.data(), uint32_t(buffer.size()));
        if (length == 0) break;
        // The library names it as on the wire, "\dir\file": shown as a path
        // relative to the selection's directory, in this system's notation.
        std::string name = Utf16ToUtf8(buffer.substr(0, length));
        name.erase(0, name.find_first_not_of('\\'));
#ifndef _WIN32
        std::replace(name.begin(), name.end(), '\\', '/');
#endif
        names.push_back(name);
    }
    return names;
}

// A failure before or around the transfer: said on standard error and kept
// for the report.
int Failure(SendReport* report, int status, const std::string& message) {
    Fail(message);
    report->error = message;
    return status;
}

// One transfer from InitServer to DeInitServer; fills the report and
// returns the exit status.
int Run(const Options& options, const std::vector<Expected>& expected, const std::vector<fs::path>& paths,
        SendReport* report) {
    const NetOptions& net = options.common.net;
    EventWindow window;
    if (!window.Create()) return Failure(report, kExitUsage, "cannot create the library's message window");

    std::fprintf(g_out, "collecting receivers on %s\n", net.Describe().c_str());
    // Set before InitServer, a rate also shortens its collection: the wait
    // for the receivers' answers is then ours (below).
    TivloSetSendRate(options.rateKbps);
    if (!InitServer(window.handle(), net.group, net.port, net.iface)) {
        // A refusal because of another sender comes as message 1040 (1006).
        Event event;
        bool otherSender = false;
        auto until = Clock::now() + std::chrono::milliseconds(500);
        while (Clock::now() < until) {
            if (window.Wait(&event, std::chrono::milliseconds(50)) && event.message == TIVLO_MSG_TRANSFER_ENDED &&
                event.wParam == TIVLO_CODE_ANOTHER_SENDER) {
                otherSender = true;
                break;
            }
        }
        DeInitServer();
        if (otherSender) {
            report->code = TIVLO_CODE_ANOTHER_SENDER;
            return Failure(report, kExitUsage, "another sender is already using " + net.Describe() + " (code 1006)");
        }
        return Failure(report, kExitUsage,
                       "cannot set up the sockets on " + net.Describe() +
                           " (is the interface an address of this machine, with a route for multicast?"
                           " --verbose tells more)");
    }

    std::u16string target16 = Utf8ToUtf16(options.targetPath);
    SetTargetPath(options.mode, target16.c_str());
    SetSubDirTrans(options.subdirs ? 1 : 0);

    std::vector<std::u16string> paths16;
    for (const auto& path : paths) paths16.push_back(Utf8ToUtf16(PathToUtf8(path)));
    std::vector<const char16_t*> items;
    for (const auto& path : paths16) items.push_back(path.c_str());
    TivloStringArray array{uint32_t(items.size()), items.data()};
    int selected = SetSelectFiles(&array);
    if (selected == TIVLO_SELECT_FILES_DROPPED && options.skipBadNames) {
        std::fprintf(stderr, "%s: warning: %s\n", kProgram, SelectResultMeaning(selected).c_str());
    } else if (selected != TIVLO_SELECT_OK) {
        DeInitServer();
        return Failure(report, kExitUsage,
                       "the selection was refused (result " + std::to_string(selected) + "): " +
                           SelectResultMeaning(selected) +
                           (selected == TIVLO_SELECT_FILES_DROPPED ? "; --skip-bad-names sends the rest" : ""));
    }
    if ((options.waitSeconds && !WaitForReceivers(options, expected)) || PendingSignal() != 0) {
        DeInitServer();
        report->result = "stopped";
        return Failure(report, kExitFailed, "interrupted before the transfer started");
    }

    if (!options.waitSeconds && options.rateKbps != 0) {
        // Long enough for the answers to the Collects on any local network,
        // with one more Collect for a receiver that lost the first ones.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        TivloCollect();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    Progress progress("sent");
    StartSend();
    const auto startSend = Clock::now();

    bool started = false;
    bool noReceivers = false;
    bool stopRequested = false;
    uint32_t receivers = 0;
    std::vector<uint32_t> endCodes;
    Clock::time_point firstEnd{};
    Clock::time_point stopTime{};
    double transferSeconds = 0.0;
    // A failed transfer ends with (0, 0) and at once its code: wait for both.
    // A (0, 0) after every receiver said it has everything is the last.
    const auto grace = std::chrono::milliseconds(100);
    bool allComplete = false;

    while (true) {
        auto now = Clock::now();
        if (PendingSignal() != 0 && !stopRequested && endCodes.empty()) {
            progress.Finish();
            std::fprintf(g_out, "interrupted: stopping the transfer\n");
            StopSend();
            stopRequested = true;
            stopTime = now;
        }
        if (!endCodes.empty() && (allComplete || now - firstEnd >= grace)) break;
        if (endCodes.empty() && !started && now - startSend > std::chrono::seconds(5)) {
            DeInitServer();
            return Failure(report, kExitFailed,
                           "the transfer did not start: the task could not be announced (--verbose tells more)");
        }
        if (stopRequested && endCodes.empty() && now - stopTime > std::chrono::seconds(10)) {
            Fail("the library did not confirm the stop");
            break;
        }
        Event event;
        if (window.Wait(&event, std::chrono::milliseconds(100))) {
            switch (event.message) {
                case TIVLO_MSG_TRANSFER_STARTED:
                    if (started) break;
                    started = true;
                    receivers = uint32_t(event.wParam);
                    report->joined = receivers;
                    report->blocks = uint64_t(event.lParam);
                    progress.Start(uint32_t(event.lParam));
                    std::fprintf(g_out, "transfer started: %u receiver%s, %u blocks, %s\n", receivers,
                                 receivers == 1 ? "" : "s", uint32_t(event.lParam),
                                 HumanBytes(double(report->bytes)).c_str());
                    if (receivers == 0 && !stopRequested) {
                        noReceivers = true;
                        StopSend();
                        stopRequested = true;
                        stopTime = Clock::now();
                    }
                    break;
                case TIVLO_MSG_CURRENT_FILE:
                    progress.Block(event.name);
                    break;
                case TIVLO_MSG_CLIENT_DISKFULL:
                    progress.Finish();
                    std::fprintf(g_out, "receiver %s gave up (code %u)\n", FormatIpv4(uint32_t(event.lParam)).c_str(),
                                 unsigned(event.wParam));
                    break;
                case TIVLO_MSG_TRANSFER_ENDED:
                    if (endCodes.empty()) {
                        firstEnd = Clock::now();
                        transferSeconds = progress.Elapsed();
                        progress.Finish();
                    }
                    endCodes.push_back(uint32_t(event.wParam));
                    if (endCodes.size() == 1 && event.wParam == 0 && !stopRequested) {
                        const auto roster = Roster();
                        allComplete = !roster.empty() && std::all_of(roster.begin(), roster.end(), [](const auto& r) {
                            return r.complete == 1 && r.code == 0;
                        });
                    }
                    break;
                default: break;
            }
        }
        progress.Draw();
    }

    report->receivers = ReadReceivers(expected, report->bytes);
    report->changedFiles = ChangedFiles();
    DeInitServer();
    window.Destroy();

    const uint32_t repairs = progress.blocks() > progress.total() ? progress.blocks() - progress.total() : 0;
    const uint32_t streamed = progress.blocks() < progress.total() ? progress.blocks() : progress.total();
    report->blocksStreamed = streamed;
    report->repairBlocks = repairs;
    report->streamSeconds = transferSeconds;
    uint32_t completed = 0, failed = 0, neverJoined = 0;
    for (const auto& receiver : report->receivers) {
        const std::string address = FormatIpv4(receiver.address);
        switch (receiver.outcome) {
            case ReceiverOutcome::Complete: ++completed; break;
            case ReceiverOutcome::NeverJoined:
                ++neverJoined;
                std::fprintf(g_out, "failed receiver: %s never joined\n", address.c_str());
                break;
            case ReceiverOutcome::Failed:
                ++failed;
                // Without a code it was cut short by a stop, which the result says.
                if (*receiver.code != 0 || !stopRequested)
                    std::fprintf(g_out, "failed receiver: %s code %u: %s\n", address.c_str(),
                                 unsigned(*receiver.code), ErrInfoMeaning(uint32_t(*receiver.code)).c_str());
                break;
        }
    }
    // Expected receivers that never joined were named above.
    if (noReceivers) return Failure(report, kExitUsage, "no receiver answered on " + net.Describe());
    uint32_t endCode = 0;
    for (uint32_t code : endCodes)
        if (code != 0) endCode = code;
    report->code = endCode;
    for (const auto& name : report->changedFiles)
        std::fprintf(g_out, "warning: %s changed size during the transfer; it was sent as it was when the transfer "
                            "started\n", name.c_str());
    const std::string absent = neverJoined ? ", " + std::to_string(neverJoined) + " never joined" : "";
    if (stopRequested || endCode != 0) {
        std::fprintf(g_out,
                     "summary: %u receiver%s%s; ended after %.1f s with %u of %u blocks streamed, %u repair block%s\n",
                     receivers, receivers == 1 ? "" : "s", absent.c_str(), transferSeconds, streamed, progress.total(),
                     repairs, repairs == 1 ? "" : "s");
    } else {
        double rate = transferSeconds > 0.0 ? double(report->bytes) / transferSeconds : 0.0;
        std::fprintf(g_out,
                     "summary: %u receiver%s, %u completed, %u failed%s; %s in %.1f s (%.2f MB/s), %u repair block%s\n",
                     receivers, receivers == 1 ? "" : "s", completed, failed, absent.c_str(),
                     HumanBytes(double(report->bytes)).c_str(), transferSeconds, rate / 1e6, repairs,
                     repairs == 1 ? "" : "s");
    }
    if (stopRequested) {
        report->result = "stopped";
        std::fprintf(g_out, "result: stopped\n");
        return kExitFailed;
    }
    if (endCode != 0) {
        std::fprintf(g_out, "result: failed (code %u: %s)\n", endCode, SenderEndMeaning(endCode).c_str());
        return kExitFailed;
    }
    if (endCodes.empty()) {
        std::fprintf(g_out, "result: failed (no end of transfer reported)\n");
        return kExitFailed;
    }
    report->complete = completed;
    std::vector<std::string> why;
    if (failed > 0) why.push_back(std::to_string(failed) + " receiver" + (failed == 1 ? "" : "s") + " failed");
    if (neverJoined > 0)
        why.push_back(std::to_string(neverJoined) + " receiver" + (neverJoined == 1 ? "" : "s") + " never joined");
    if (receivers < options.minReceivers)
        why.push_back("only " + std::to_string(receivers) + " of the " + std::to_string(options.minReceivers) +
                      " receivers wanted joined");
    if (!why.empty()) {
        std::string text = why.front();
        for (size_t i = 1; i < why.size(); ++i) text += ", " + why[i];
        std::fprintf(g_out, "result: failed (%s)\n", text.c_str());
        return kExitFailed;
    }
    report->result = "ok";
    std::fprintf(g_out, "result: ok\n");
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseArguments(StartConsole(argc, argv));
    const std::vector<fs::path> paths = ResolvePaths(options.paths);
    const std::vector<Expected> expected = ResolveExpected(options.expectGiven);
    if (options.common.json) g_out = stderr;
    InstallSignalHandlers();
    if (options.common.verbose) EnableLibraryLog();

    SendReport report;
    for (const auto& path : paths) report.paths.push_back(PathToUtf8(path));
    if (options.mode == TIVLO_TARGET_MODE_PATH)
        report.target = options.targetPath;
    else
        report.folder = options.folderName;
    report.net = options.common.net;
    if (options.rateKbps != 0) report.rateKbps = options.rateKbps;
    CountSelection(paths, options.subdirs, &report);
    report.start = WallClock::now();
    report.exitStatus = Run(options, expected, paths, &report);
    report.end = WallClock::now();
    if (options.common.json) std::printf("%s\n", SendReportJson(report).c_str());
    return report.exitStatus;
}
