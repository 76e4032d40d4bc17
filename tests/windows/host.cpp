// A Windows host of tivlo.dll, as a real host uses it: a window of its own
// (message-only), the exports through the import library, and the messages
// taken from the window's queue.
//
//   tivlo_host exports                  the export table seen at run time
//   tivlo_host send PORT TARGET PATH... send PATHs to receivers, target TARGET
//   tivlo_host recv PORT SECONDS        receive one task
//
// Every run ends with a line "TIVLO-HOST PASS ..." or "TIVLO-HOST FAIL ...":
// under Wine a program that cannot start may still exit 0, so the caller
// looks for the line.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tivlo/tivlo.h"

namespace {

struct Seen {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

std::vector<Seen> g_seen;
std::vector<std::u16string> g_names;  // 1042, copied on arrival
bool g_ended = false;

LRESULT CALLBACK HostProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case TIVLO_MSG_TRANSFER_STARTED:
        case TIVLO_MSG_TRANSFER_ENDED:
        case TIVLO_MSG_CLIENT_DISKFULL:
            g_seen.push_back({message, wParam, lParam});
            if (message == TIVLO_MSG_TRANSFER_ENDED) g_ended = true;
            return 0;
        case TIVLO_MSG_CURRENT_FILE: {
            const auto* name = reinterpret_cast<const char16_t*>(lParam);
            if (name != nullptr && (g_names.empty() || g_names.back() != name)) g_names.emplace_back(name);
            return 0;
        }
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

HWND MakeWindow() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = HostProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TivloTestHost";
    RegisterClassExW(&wc);
    return CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
}

// Pumps the queue until the condition holds or the time is up.
template <typename F>
bool PumpUntil(F done, DWORD ms) {
    const DWORD start = GetTickCount();
    MSG msg;
    while (!done()) {
        if (GetTickCount() - start > ms) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return true;
}

int Fail(const char* what) {
    std::printf("TIVLO-HOST FAIL %s\n", what);
    std::fflush(stdout);
    return 1;
}

std::u16string Utf16(const char* text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring w(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text, -1, w.data(), n);
    return std::u16string(w.begin(), w.end());
}

std::string Utf8(const std::u16string& text) {
    std::wstring w(text.begin(), text.end());
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    return s;
}

void PrintMessages() {
    for (const Seen& s : g_seen)
        std::printf("message %u %llu %lld\n", s.message, static_cast<unsigned long long>(s.wParam),
                    static_cast<long long>(s.lParam));
    for (const auto& n : g_names) std::printf("name %s\n", Utf8(n).c_str());
}

// The thirteen names with ordinals 1 to 13 in alphabetical order, resolved
// by the loader both ways to the same functions; and the selection rules of
// drive paths, which need no network.
int RunExports() {
    static const char* const kNames[] = {"DeInitClient", "DeInitServer",   "GetErrInfo",    "GetIsHasInvalidChar",
                                         "InitClient",   "InitServer",     "SetSelectFiles", "SetSubDirTrans",
                                         "SetTargetPath", "StartReceive",  "StartSend",     "StopReceive",
                                         "StopSend"};
    HMODULE dll = GetModuleHandleW(L"tivlo.dll");
    if (dll == nullptr) return Fail("tivlo.dll not loaded");
    for (int i = 0; i < 13; ++i) {
        if (i > 0 && std::strcmp(kNames[i - 1], kNames[i]) >= 0) return Fail("names out of order");
        FARPROC byName = GetProcAddress(dll, kNames[i]);
        FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(i + 1));
        if (byName == nullptr || byName != byOrdinal) {
            std::printf("export %s ordinal %d: %p %p\n", kNames[i], i + 1, reinterpret_cast<void*>(byName),
                        reinterpret_cast<void*>(byOrdinal));
            return Fail("export table");
        }
    }
    struct Case {
        const char16_t* path;
        int result;
    };
    // The checks that come before the file system is looked at.
    const Case cases[] = {{u"C:", 3}, {u"\\\\server\\share", 4}, {u"/tmp/x", 4}, {u"C:\\a/b", 5},
                          {u"C:\\x:y", 5}, {u"C:\\a*b", 5}, {u"C:\\a|b", 5}};
    for (const Case& c : cases) {
        const char16_t* items[] = {c.path};
        TivloStringArray array{1, items};
        int got = SetSelectFiles(&array);
        if (got != c.result) {
            std::printf("SetSelectFiles(%s) = %d, want %d\n", Utf8(c.path).c_str(), got, c.result);
            return Fail("selection rules");
        }
    }
    if (StopReceive() != 1 || GetIsHasInvalidChar() != 0) return Fail("trivial exports");
    std::printf("TIVLO-HOST PASS exports\n");
    return 0;
}

// A dotted quad in network byte order (what inet_addr returns).
uint32_t ParseQuad(const char* text) {
    unsigned a, b, c, d;
    if (std::sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return 0;
    return a | (b << 8) | (c << 16) | (d << 24);
}

// The interface address for binding and multicast: TIVLO_HOST_IFACE, or
// 127.0.0.1 so nothing leaves the machine.
uint32_t Interface() {
    const char* text = std::getenv("TIVLO_HOST_IFACE");
    return ParseQuad(text != nullptr && *text != '\0' ? text : "127.0.0.1");
}

int RunSend(HWND window, uint32_t port, const char* target, int count, char** paths) {
    if (InitServer(static_cast<TivloWindow>(reinterpret_cast<uintptr_t>(window)), 0, port, Interface()) != 1)
        return Fail("InitServer");
    std::u16string target16 = Utf16(target);
    SetTargetPath(TIVLO_TARGET_MODE_PATH, target16.c_str());
    SetSubDirTrans(1);
    std::vector<std::u16string> selected;
    for (int i = 0; i < count; ++i) selected.push_back(Utf16(paths[i]));
    std::vector<const char16_t*> items;
    for (const auto& p : selected) items.push_back(p.c_str());
    TivloStringArray array{static_cast<uint32_t>(items.size()), items.data()};
    int selection = SetSelectFiles(&array);
    if (selection != 1) {
        std::printf("SetSelectFiles = %d\n", selection);
        DeInitServer();
        return Fail("selection");
    }
    StartSend();
    const bool ended = PumpUntil([] { return g_ended; }, 120000);
    PumpUntil([] { return false; }, 300);  // a code that follows the first 1040
    uint32_t errors[401] = {};
    const int failed = GetErrInfo(errors);
    DeInitServer();
    PrintMessages();
    if (!ended) return Fail("send: no 1040");
    if (g_seen.empty() || g_seen[0].message != TIVLO_MSG_TRANSFER_STARTED) return Fail("send: 1039 not first");
    if (g_seen[0].wParam < 1) return Fail("send: no receiver in the roster");
    int ends = 0;
    for (const Seen& s : g_seen) {
        if (s.message == TIVLO_MSG_TRANSFER_ENDED) {
            ++ends;
            if (s.wParam != 0 || s.lParam != 0) return Fail("send: 1040 with a code");
        }
        if (s.message == TIVLO_MSG_CLIENT_DISKFULL) return Fail("send: a receiver gave up");
    }
    if (ends != 1) return Fail("send: not exactly one 1040");
    if (failed != 0) return Fail("send: GetErrInfo reports receivers");
    if (g_names.empty()) return Fail("send: no 1042");
    std::printf("TIVLO-HOST PASS send receivers=%llu blocks=%lld\n",
                static_cast<unsigned long long>(g_seen[0].wParam), static_cast<long long>(g_seen[0].lParam));
    return 0;
}

int RunRecv(HWND window, uint32_t port, DWORD seconds) {
    if (InitClient(static_cast<TivloWindow>(reinterpret_cast<uintptr_t>(window)), 0, port, Interface()) != 1)
        return Fail("InitClient");
    StartReceive();
    std::printf("TIVLO-HOST READY\n");
    std::fflush(stdout);
    const bool ended = PumpUntil([] { return g_ended; }, seconds * 1000);
    DeInitClient();
    PrintMessages();
    if (!ended) return Fail("recv: no 1040");
    const Seen& last = g_seen.back();
    if (last.message != TIVLO_MSG_TRANSFER_ENDED || last.wParam != 0 || last.lParam != 1)
        return Fail("recv: no completion (1040, 0, 1)");
    if (g_seen.front().message != TIVLO_MSG_TRANSFER_STARTED) return Fail("recv: 1039 not first");
    if (g_names.empty()) return Fail("recv: no 1042");
    std::printf("TIVLO-HOST PASS recv files=%llu blocks=%lld\n",
                static_cast<unsigned long long>(g_seen.front().wParam), static_cast<long long>(g_seen.front().lParam));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc >= 2 && std::strcmp(argv[1], "exports") == 0) return RunExports();
    HWND window = MakeWindow();
    if (window == nullptr) return Fail("no window");
    if (argc >= 5 && std::strcmp(argv[1], "send") == 0)
        return RunSend(window, static_cast<uint32_t>(std::atoi(argv[2])), argv[3], argc - 4, argv + 4);
    if (argc == 4 && std::strcmp(argv[1], "recv") == 0)
        return RunRecv(window, static_cast<uint32_t>(std::atoi(argv[2])), static_cast<DWORD>(std::atoi(argv[3])));
    std::fprintf(stderr, "usage: tivlo_host exports | send PORT TARGET PATH... | recv PORT SECONDS\n");
    return Fail("usage");
}
