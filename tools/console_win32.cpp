#include "console.h"

#include <fcntl.h>
#include <io.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
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

std::vector<uint32_t> ResolveIpv4(const std::string& name, std::string* error) {
    // The resolver belongs to Winsock, which must be started once per process.
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    std::vector<uint32_t> addresses;
    if (!started) {
        *error = "the socket library did not start";
        return addresses;
    }
    const int n = MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
    std::wstring wide(n > 0 ? size_t(n) : 1, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, wide.data(), n);
    ADDRINFOW hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    ADDRINFOW* list = nullptr;
    const int result = GetAddrInfoW(wide.c_str(), nullptr, &hints, &list);
    if (result != 0) {
        *error = "unknown host (error " + std::to_string(result) + ")";
        return addresses;
    }
    for (const ADDRINFOW* item = list; item != nullptr; item = item->ai_next) {
        const uint32_t address = reinterpret_cast<const sockaddr_in*>(item->ai_addr)->sin_addr.s_addr;
        if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) addresses.push_back(address);
    }
    FreeAddrInfoW(list);
    if (addresses.empty()) *error = "no IPv4 address";
    return addresses;
}

bool OwnedLike(const std::filesystem::path&, const std::filesystem::path&) { return true; }

}  // namespace tivlo_tool
