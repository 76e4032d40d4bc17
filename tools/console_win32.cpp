#include "console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cstdio>

namespace tivlo_tool {

namespace {

std::atomic<int> g_signal{0};

BOOL WINAPI OnConsoleEvent(DWORD type) {
    int none = 0;
    g_signal.compare_exchange_strong(none, type == CTRL_C_EVENT ? 2 : 15);
    // After a close, log-off or shut-down event returns, the system ends the
    // process: give the main thread time to stop the transfer first.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) Sleep(4000);
    return TRUE;
}

std::string Utf8(const wchar_t* text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? size_t(n - 1) : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

}  // namespace

std::vector<std::string> StartConsole(int, char**) {
    SetConsoleOutputCP(CP_UTF8);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // The C runtime has no line buffering: unbuffered keeps lines in order.
    setvbuf(stdout, nullptr, _IONBF, 0);
    // main's argv is in the ANSI code page, which cannot hold every name.
    std::vector<std::string> args;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; wide != nullptr && i < count; ++i) args.push_back(Utf8(wide[i]));
    if (wide != nullptr) LocalFree(wide);
    return args;
}

void InstallSignalHandlers() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

int PendingSignal() { return g_signal.load(); }

void WriteStderr(const std::string& text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), DWORD(text.size()), &written, nullptr);
}

bool StderrTerminal(int* columns) {
    if (!_isatty(_fileno(stderr))) return false;
    CONSOLE_SCREEN_BUFFER_INFO info;
    int width = 80;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        width = info.srWindow.Right - info.srWindow.Left + 1;
    *columns = width > 20 ? width : 80;
    return true;
}

}  // namespace tivlo_tool
