#include "console.h"

#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>

namespace tivlo_tool {

namespace {

volatile sig_atomic_t g_signal = 0;

void OnSignal(int number) {
    if (g_signal == 0) g_signal = number;
}

}  // namespace

std::vector<std::string> StartConsole(int argc, char** argv) {
    // Whole lines, so outcome lines and standard error interleave in logs.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void InstallSignalHandlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int PendingSignal() { return g_signal; }

void WriteStderr(const std::string& text) {
    ssize_t ignored = write(STDERR_FILENO, text.data(), text.size());
    (void)ignored;
}

bool StderrTerminal(int* columns) {
    if (isatty(STDERR_FILENO) != 1) return false;
    struct winsize size;
    *columns = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20 ? size.ws_col : 80;
    return true;
}

std::vector<uint32_t> ResolveIpv4(const std::string& name, std::string* error) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    std::vector<uint32_t> addresses;
    const int result = getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (result != 0) {
        *error = gai_strerror(result);
        return addresses;
    }
    for (const addrinfo* item = list; item != nullptr; item = item->ai_next) {
        const uint32_t address = reinterpret_cast<const sockaddr_in*>(item->ai_addr)->sin_addr.s_addr;
        if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) addresses.push_back(address);
    }
    freeaddrinfo(list);
    if (addresses.empty()) *error = "no IPv4 address";
    return addresses;
}

bool OwnedLike(const std::filesystem::path& folder, const std::filesystem::path& home) {
    struct stat homeStat, st;
    if (::stat(home.c_str(), &homeStat) != 0) return false;
    return ::stat(folder.c_str(), &st) == 0 ? st.st_uid == homeStat.st_uid : errno == ENOENT;
}

}  // namespace tivlo_tool
