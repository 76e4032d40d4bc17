// tivlo-send: sends files and directories to every tivlo-recv on a multicast
// group, and reports which receivers failed.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common.h"

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
                 "  -v, --verbose           print the library's log lines on standard error\n"
                 "  -h, --help              display this help and exit\n"
                 "  -V, --version           output version information and exit\n"
                 "\n"
                 "Progress goes to standard error (a bar on a terminal, a line every two\n"
                 "seconds otherwise); the outcome per receiver goes to standard output.\n"
                 "Ctrl-C stops the transfer and tells the receivers.\n"
                 "\n"
                 "Exit status: 0 when every receiver got everything, 1 when a receiver failed\n"
                 "or the transfer was stopped or failed, 2 for a usage or start-up error.\n",
                 kProgram);
}

const Program kTool{kProgram, Usage};

[[noreturn]] void UsageError(const std::string& message) { tivlo_tool::UsageError(kTool, message); }

void Fail(const std::string& message) { std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str()); }

struct Options {
    NetOptions net;
    bool haveTarget = false;
    uint32_t mode = TIVLO_TARGET_MODE_PATH;
    std::string targetPath;
    bool subdirs = true;
    bool skipBadNames = false;
    bool verbose = false;
    uint32_t rateKbps = 0;  // 0: the fixed pace
    std::vector<std::string> paths;
};

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

Options ParseArguments(int argc, char** argv) {
    enum { kNoSubdirs = 1000, kSkipBadNames, kRate };
    static const option kLong[] = {
        {"target", required_argument, nullptr, 't'},  {"folder", required_argument, nullptr, 'f'},
        {"no-subdirs", no_argument, nullptr, kNoSubdirs}, {"skip-bad-names", no_argument, nullptr, kSkipBadNames},
        {"group", required_argument, nullptr, 'g'},   {"port", required_argument, nullptr, 'p'},
        {"interface", required_argument, nullptr, 'i'}, {"verbose", no_argument, nullptr, 'v'},
        {"rate", required_argument, nullptr, kRate},
        {"help", no_argument, nullptr, 'h'},          {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    Options options;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":t:f:g:p:i:vhV", kLong, nullptr)) != -1) {
        switch (c) {
            case 't':
                if (options.haveTarget) UsageError("give only one of --target and --folder");
                options.haveTarget = true;
                options.mode = TIVLO_TARGET_MODE_PATH;
                options.targetPath = optarg;
                if (options.targetPath.empty()) UsageError("the target directory is empty");
                // The task's name field holds 259 characters and a terminator.
                if (Utf8ToUtf16(options.targetPath).size() > 259)
                    UsageError("the target directory is longer than 259 characters");
                break;
            case 'f': {
                if (options.haveTarget) UsageError("give only one of --target and --folder");
                options.haveTarget = true;
                std::string name = optarg;
                bool found = false;
                for (const auto& folder : kFolders) {
                    if (name == folder.name) {
                        options.mode = folder.csidl;
                        found = true;
                    }
                }
                if (!found) {
                    // The all-ones value means "a path", not a folder.
                    auto number = ParseNumber(name, 0, 0xFFFFFFFEu);
                    if (!number) UsageError("unknown special folder '" + name + "'");
                    options.mode = *number;
                }
                break;
            }
            case kNoSubdirs: options.subdirs = false; break;
            case kSkipBadNames: options.skipBadNames = true; break;
            case kRate: {
                auto rate = ParseRate(optarg);
                if (!rate) UsageError(std::string("invalid rate '") + optarg + "' (e.g. 500M, 100k, 1G; at least 1k)");
                options.rateKbps = *rate;
                break;
            }
            default: CommonOption(c, kTool, argv, &options.net, &options.verbose); break;
        }
    }
    for (int i = optind; i < argc; ++i) options.paths.emplace_back(argv[i]);
    if (options.paths.empty()) UsageError("no PATH to send");
    if (!options.haveTarget) UsageError("no target: give --target=DIR or --folder=NAME");
    return options;
}

// Absolute, normalised paths; all of them must share one parent directory,
// because receivers recreate each below the target by its own name.
std::vector<std::string> ResolvePaths(const std::vector<std::string>& given) {
    std::vector<std::string> result;
    std::string parent;
    for (const auto& text : given) {
        struct stat info;
        if (lstat(text.c_str(), &info) != 0) {
            Fail("cannot access '" + text + "': " + std::strerror(errno));
            std::exit(kExitUsage);
        }
        if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
            Fail("'" + text + "' is neither a regular file nor a directory");
            std::exit(kExitUsage);
        }
        fs::path path = fs::absolute(fs::path(text)).lexically_normal();
        if (!path.has_filename()) path = path.parent_path();  // "dir/" names dir
        if (path == path.root_path()) {
            Fail("cannot send the root directory");
            std::exit(kExitUsage);
        }
        std::string here = path.parent_path().string();
        if (result.empty()) {
            parent = here;
        } else if (here != parent) {
            Fail("the PATHs must lie in one directory ('" + text + "' is not in " + parent + ")");
            std::exit(kExitUsage);
        }
        result.push_back(path.string());
    }
    return result;
}

// Bytes of the files a selection contributes, for the transfer rate.
uint64_t SelectionBytes(const std::vector<std::string>& paths, bool subdirs) {
    uint64_t total = 0;
    std::error_code error;
    for (const auto& path : paths) {
        if (fs::is_regular_file(fs::symlink_status(path, error))) {
            total += fs::file_size(path, error);
            continue;
        }
        if (subdirs) {
            for (fs::recursive_directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
                if (it->is_regular_file(error)) total += it->file_size(error);
            }
        } else {
            for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
                if (it->is_regular_file(error)) total += it->file_size(error);
            }
        }
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = ParseArguments(argc, argv);
    std::vector<std::string> paths = ResolvePaths(options.paths);

    InstallSignalHandlers();
    if (options.verbose) EnableLibraryLog();
    setvbuf(stdout, nullptr, _IOLBF, 0);

    EventWindow window;
    if (!window.Create()) {
        Fail("cannot create the library's message window");
        return kExitUsage;
    }

    std::printf("collecting receivers on %s\n", options.net.Describe().c_str());
    if (!InitServer(window.handle(), options.net.group, options.net.port, options.net.iface)) {
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
        if (otherSender)
            Fail("another sender is already using " + options.net.Describe() + " (code 1006)");
        else
            Fail("cannot set up the sockets on " + options.net.Describe() +
                 " (is the interface an address of this machine, with a route for multicast?"
                 " --verbose tells more)");
        return kExitUsage;
    }

    std::u16string target16 = Utf8ToUtf16(options.targetPath);
    SetTargetPath(options.mode, target16.c_str());
    SetSubDirTrans(options.subdirs ? 1 : 0);

    std::vector<std::u16string> paths16;
    for (const auto& path : paths) paths16.push_back(Utf8ToUtf16(path));
    std::vector<const char16_t*> items;
    for (const auto& path : paths16) items.push_back(path.c_str());
    TivloStringArray array{uint32_t(items.size()), items.data()};
    int selected = SetSelectFiles(&array);
    if (selected == 7 && options.skipBadNames) {
        std::fprintf(stderr, "%s: warning: %s\n", kProgram, SelectResultMeaning(selected).c_str());
    } else if (selected != 1) {
        DeInitServer();
        Fail("the selection was refused (result " + std::to_string(selected) + "): " +
             SelectResultMeaning(selected) + (selected == 7 ? "; --skip-bad-names sends the rest" : ""));
        return kExitUsage;
    }
    if (PendingSignal() != 0) {
        DeInitServer();
        Fail("interrupted before the transfer started");
        return kExitFailed;
    }

    const uint64_t selectionBytes = SelectionBytes(paths, options.subdirs);
    Progress progress("sent");
    TivloSetSendRate(options.rateKbps);
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
    // A failed transfer ends with (0, 0) and then its code: wait for both.
    const auto grace = std::chrono::milliseconds(1000);

    while (true) {
        auto now = Clock::now();
        if (PendingSignal() != 0 && !stopRequested && endCodes.empty()) {
            progress.Finish();
            std::printf("interrupted: stopping the transfer\n");
            StopSend();
            stopRequested = true;
            stopTime = now;
        }
        if (!endCodes.empty() && now - firstEnd >= grace) break;
        if (endCodes.empty() && !started && now - startSend > std::chrono::seconds(5)) {
            DeInitServer();
            Fail("the transfer did not start: the task could not be announced (--verbose tells more)");
            return kExitFailed;
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
                    progress.Start(uint32_t(event.lParam));
                    std::printf("transfer started: %u receiver%s, %u blocks, %s\n", receivers,
                                receivers == 1 ? "" : "s", uint32_t(event.lParam),
                                HumanBytes(double(selectionBytes)).c_str());
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
                    std::printf("receiver %s gave up (code %u)\n", FormatIpv4(uint32_t(event.lParam)).c_str(),
                                unsigned(event.wParam));
                    break;
                case TIVLO_MSG_TRANSFER_ENDED:
                    if (endCodes.empty()) {
                        firstEnd = Clock::now();
                        transferSeconds = progress.Elapsed();
                        progress.Finish();
                    }
                    endCodes.push_back(uint32_t(event.wParam));
                    break;
                default: break;
            }
        }
        progress.Draw();
    }

    uint32_t info[1 + 2 * 200 + 8] = {};
    int failed = GetErrInfo(info);
    if (failed < 0) failed = 0;
    if (failed > 200) failed = 200;
    DeInitServer();
    window.Destroy();

    if (noReceivers) {
        Fail("no receiver answered on " + options.net.Describe());
        return kExitUsage;
    }

    uint32_t endCode = 0;
    for (uint32_t code : endCodes)
        if (code != 0) endCode = code;

    for (int k = 0; k < failed; ++k) {
        uint32_t address = info[1 + 2 * k];
        uint32_t code = info[2 + 2 * k];
        std::printf("failed receiver: %s code %u: %s\n", FormatIpv4(address).c_str(), code,
                    ErrInfoMeaning(code).c_str());
    }
    uint32_t completed = receivers >= uint32_t(failed) ? receivers - uint32_t(failed) : 0;
    uint32_t repairs = progress.blocks() > progress.total() ? progress.blocks() - progress.total() : 0;
    if (stopRequested || endCode != 0) {
        uint32_t streamed = progress.blocks() < progress.total() ? progress.blocks() : progress.total();
        std::printf("summary: %u receiver%s; ended after %.1f s with %u of %u blocks streamed, %u repair block%s\n",
                    receivers, receivers == 1 ? "" : "s", transferSeconds, streamed, progress.total(), repairs,
                    repairs == 1 ? "" : "s");
    } else {
        double rate = transferSeconds > 0.0 ? double(selectionBytes) / transferSeconds : 0.0;
        std::printf("summary: %u receiver%s, %u completed, %d failed; %s in %.1f s (%.2f MB/s), %u repair block%s\n",
                    receivers, receivers == 1 ? "" : "s", completed, failed, HumanBytes(double(selectionBytes)).c_str(),
                    transferSeconds, rate / 1e6, repairs, repairs == 1 ? "" : "s");
    }
    if (stopRequested) {
        std::printf("result: stopped\n");
        return kExitFailed;
    }
    if (endCode != 0) {
        std::printf("result: failed (code %u: %s)\n", endCode, SenderEndMeaning(endCode).c_str());
        return kExitFailed;
    }
    if (endCodes.empty()) {
        std::printf("result: failed (no end of transfer reported)\n");
        return kExitFailed;
    }
    if (failed > 0) {
        std::printf("result: failed (%d receiver%s failed)\n", failed, failed == 1 ? "" : "s");
        return kExitFailed;
    }
    std::printf("result: ok\n");
    return kExitOk;
}
