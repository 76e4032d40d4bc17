// tivlo-recv: receives the transfers of tivlo-send on a multicast group, one
// task after another (or one with --once).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common.h"
#include "report.h"

using namespace tivlo_tool;
using Clock = std::chrono::steady_clock;

namespace {

const char* kProgram = "tivlo-recv";

void Usage(FILE* out) {
    std::fprintf(out,
                 "Usage: %s [OPTION]...\n"
                 "Receive the files that tivlo-send multicasts to a group, and store them where\n"
                 "the sender says (a directory, or a special folder of the user logged on here).\n"
                 "\n"
                 "By default it serves task after task until it is stopped by SIGTERM or\n"
                 "Ctrl-C; with --once it takes one task and exits with its outcome.\n"
                 "\n"
                 "Options:\n"
                 "      --once              receive one task, then exit\n"
                 "  -a, --allow=DIR         take only tasks whose target lies in DIR or below\n"
                 "                          it; repeat for several (--allow-root is the same);\n"
                 "                          a refused task ends with code 1002\n"
                 "      --allow-any         take a task for any target on a fixed local disk\n"
                 "  -g, --group=ADDRESS     multicast group (default 235.9.2.9)\n"
                 "  -p, --port=PORT         data port (default 27001)\n"
                 "  -i, --interface=ADDRESS local IPv4 address to join the groups on; without\n"
                 "                          it, the default route's interface is used, so name\n"
                 "                          the interface on a machine with several\n"
                 "      --json              print each task's outcome as one JSON object on a\n"
                 "                          line of standard output; all other lines go to\n"
                 "                          standard error\n"
                 "  -v, --verbose           print the library's log lines on standard error\n"
                 "  -h, --help              display this help and exit\n"
                 "  -V, --version           output version information and exit\n"
                 "\n"
                 "Without --allow or --allow-any, tasks are taken only when their target lies\n"
                 "in a special folder of the user logged on here (desktop, documents, music,\n"
                 "videos, pictures; only where it lies in that user's home and is theirs) or\n"
                 "in the directory tivlo-recv was started in (unless that is the root\n"
                 "directory). Started by systemd, it needs --allow or --allow-any.\n"
                 "\n"
                 "Progress goes to standard error (a bar on a terminal, a line every two\n"
                 "seconds otherwise); each task's outcome goes to standard output, or with\n"
                 "--json to standard error. tivlo-recv(1) describes the codes, the JSON\n"
                 "report and the service.\n"
                 "\n"
                 "Exit status: 0 when the task (with --once) completed, or when stopped by a\n"
                 "signal while serving; 1 when the task failed or was stopped; 2 for a usage or\n"
                 "start-up error.\n",
                 kProgram);
}

const Program kTool{kProgram, Usage};

[[noreturn]] void UsageError(const std::string& message) { tivlo_tool::UsageError(kTool, message); }

// With --json, every line meant for a person goes to standard error.
FILE* g_out = stdout;

struct Options {
    CommonOptions common;
    bool once = false;
    std::vector<std::u16string> allowedRoots;
    bool allowAny = false;
};

Options ParseArguments(const std::vector<std::string>& args) {
    enum { kAllow = 'a', kOnce = 1000, kAllowAny };
    const auto defs = WithCommonOptions({
        {"once", 0, false, kOnce},
        {"allow", 'a', true, kAllow},
        {"allow-root", 'r', true, kAllow},
        {"allow-any", 0, false, kAllowAny},
    });
    Options options;
    auto operands = ForEachOption(kTool, args, defs, [&](const ParsedOption& option) {
        switch (option.id) {
            case kOnce: options.once = true; break;
            case kAllowAny: options.allowAny = true; break;
            case kAllow:
                if (!PathFromUtf8(option.value).is_absolute())
                    UsageError("--allow needs an absolute directory, not '" + option.value + "'");
                options.allowedRoots.push_back(Utf8ToUtf16(option.value));
                break;
            default: CommonOption(option, kTool, &options.common); break;
        }
    });
    if (!operands.empty()) UsageError("unexpected argument '" + operands.front() + "'");
    if (options.allowAny && !options.allowedRoots.empty()) UsageError("--allow-any and --allow exclude each other");
    return options;
}

enum class Outcome { None, Complete, Failed, Signal };

// How long a receiver keeps answering after its part ended: longer than a
// sender takes to pass over a master that fell silent.
constexpr auto kLinger = std::chrono::milliseconds(2500);

// One task, from InitClient to DeInitClient.
Outcome ServeOneTask(const Options& options, bool* startFailed) {
    EventWindow window;
    if (!window.Create()) {
        std::fprintf(stderr, "%s: cannot create the library's message window\n", kProgram);
        *startFailed = true;
        return Outcome::Failed;
    }
    const NetOptions& net = options.common.net;
    if (!InitClient(window.handle(), net.group, net.port, net.iface)) {
        std::fprintf(stderr,
                     "%s: cannot set up the receiver on %s (is the interface an address of this machine, "
                     "with a route for multicast? --verbose tells more)\n",
                     kProgram, net.Describe().c_str());
        DeInitClient();
        *startFailed = true;
        return Outcome::Failed;
    }
    StartReceive();
    std::fprintf(g_out, "waiting for a sender on %s\n", net.Describe().c_str());
    ReceiveReport report;
    report.net = net;
    report.start = WallClock::now();

    Progress progress("received");
    bool active = false;
    uint32_t files = 0;
    uint32_t blocks = 0;
    Outcome outcome = Outcome::None;
    uint32_t code = 0;
    while (outcome == Outcome::None) {
        if (PendingSignal() != 0) {
            outcome = Outcome::Signal;
            break;
        }
        Event event;
        if (window.Wait(&event, std::chrono::milliseconds(100))) {
            switch (event.message) {
                case TIVLO_MSG_TRANSFER_STARTED:
                    // The sender announces each task three times.
                    if (active && files == uint32_t(event.wParam) && blocks == uint32_t(event.lParam)) break;
                    active = true;
                    files = uint32_t(event.wParam);
                    blocks = uint32_t(event.lParam);
                    progress.Finish();
                    report.start = WallClock::now();
                    std::fprintf(g_out, "task: %u file%s, %u blocks (at most %s)\n", files, files == 1 ? "" : "s",
                                 blocks, HumanBytes(double(blocks) * kBlockBytes).c_str());
                    progress.Start(blocks);
                    break;
                case TIVLO_MSG_CURRENT_FILE:
                    if (active) progress.Block(event.name);
                    break;
                case TIVLO_MSG_TRANSFER_ENDED:
                    if (event.lParam == 1) {
                        outcome = Outcome::Complete;
                    } else if (event.wParam == TIVLO_CODE_OK && !active) {
                        // A stop for a task this receiver never took part in.
                    } else {
                        outcome = Outcome::Failed;
                        code = uint32_t(event.wParam);
                    }
                    break;
                default: break;
            }
        }
        progress.Draw();
    }
    double seconds = progress.Elapsed();
    progress.Finish();
    report.end = WallClock::now();
    report.haveTask = active;
    report.files = files;
    report.blocks = blocks;
    report.blocksReceived = progress.blocks();
    if (outcome == Outcome::Complete) {
        double rate = seconds > 0.0 ? double(progress.blocks()) * kBlockBytes / seconds : 0.0;
        std::fprintf(g_out, "outcome: complete: %u file%s, %u blocks in %.1f s (%s/s)\n", files,
                     files == 1 ? "" : "s", blocks, seconds, HumanBytes(rate).c_str());
        report.outcome = "complete";
        report.code = TIVLO_CODE_OK;
    } else if (outcome == Outcome::Failed) {
        std::fprintf(g_out, "outcome: failed (code %u): %s\n", code, ReceiverEndMeaning(code).c_str());
        report.outcome = "failed";
        report.code = code;
    } else if (active) {
        std::fprintf(g_out, "outcome: interrupted\n");
    }
    // One object per task; with --once exactly one, even when none came.
    if (options.common.json && (active || outcome == Outcome::Failed || options.once))
        std::printf("%s\n", ReceiveReportJson(report).c_str());
    // The sender may have missed this receiver's last word and ask again:
    // the library answers for a while before it is torn down, so that a
    // receiver with its copy is not reported as one that stopped answering.
    if (outcome == Outcome::Complete || outcome == Outcome::Failed) {
        const auto until = Clock::now() + kLinger;
        Event ignored;
        while (PendingSignal() == 0 && Clock::now() < until)
            window.Wait(&ignored, std::chrono::milliseconds(100));
    }
    DeInitClient();
    window.Destroy();
    return outcome;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = ParseArguments(StartConsole(argc, argv));
    if (options.common.json) g_out = stderr;
    InstallSignalHandlers();
    if (options.common.verbose) EnableLibraryLog();
    if (!options.allowAny) {
        // A receiver often runs as root: by default a sender may only fill
        // the logged-on user's own folders and the directory we run in.
        std::vector<std::u16string> roots = options.allowedRoots;
        // A service (systemd sets INVOCATION_ID) has no user of its own:
        // the folders it fills are the operator's to name.
        if (roots.empty() && std::getenv("INVOCATION_ID") != nullptr) {
            std::fprintf(stderr, "%s: as a service, name the folders to receive into with --allow\n", kProgram);
            return kExitUsage;
        }
        if (roots.empty()) {
            std::error_code error;
            const auto here = std::filesystem::current_path(error);
            roots = DefaultAllowedRoots(error ? std::string() : PathToUtf8(here));
        }
        if (roots.empty()) {
            std::fprintf(stderr, "%s: no folder to receive into; name one with --allow\n", kProgram);
            return kExitUsage;
        }
        std::vector<const char16_t*> items;
        for (const auto& root : roots) items.push_back(root.c_str());
        TivloStringArray list{uint32_t(items.size()), items.data()};
        if (!TivloSetAllowedRoots(&list)) {
            std::fprintf(stderr, "%s: the library refused the allowed roots\n", kProgram);
            return kExitUsage;
        }
    }

    while (true) {
        bool startFailed = false;
        Outcome outcome = ServeOneTask(options, &startFailed);
        if (startFailed) return kExitUsage;
        if (outcome == Outcome::Signal) return options.once ? kExitFailed : kExitOk;
        if (options.once) return outcome == Outcome::Complete ? kExitOk : kExitFailed;
        if (PendingSignal() != 0) return kExitOk;
    }
}
