// Winsock 2.2 sockets.
//
// Every socket is registered with WSAEventSelect for FD_READ at Open, which
// also makes it non-blocking: a receive waits on that event with
// WSAWaitForMultipleEvents, and Close sets the same event, so a blocked
// receive wakes up and sees the socket closing. Each Open starts the socket
// library (WSAStartup 2.2) and each Close of an opened socket releases it
// once (WSACleanup); Winsock counts the starts itself.
//
// The members of UdpSocket hold Win32 values: fd_ the SOCKET, wakeFd_ the
// event. Both are kernel handles, which keep their meaning when cut to 32
// bits (INVALID_SOCKET becomes -1).
#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/clock.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace tivlo::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

SOCKET ToSocket(int fd) { return static_cast<SOCKET>(static_cast<intptr_t>(fd)); }
WSAEVENT ToEvent(int value) { return reinterpret_cast<WSAEVENT>(static_cast<intptr_t>(value)); }
int FromHandle(uintptr_t handle) { return static_cast<int>(static_cast<intptr_t>(handle)); }

sockaddr_in MakeAddress(uint32_t addr, uint16_t port) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    sa.sin_port = htons(port);
    return sa;
}

bool SetOption(int fd, int level, int name, const void* value, int length) {
    return ::setsockopt(ToSocket(fd), level, name, static_cast<const char*>(value), length) == 0;
}

// IP_ADD_MEMBERSHIP or IP_DROP_MEMBERSHIP.
bool SetMembership(int fd, int option, uint32_t group, uint32_t iface) {
    ip_mreq mreq;
    mreq.imr_multiaddr.s_addr = group;
    mreq.imr_interface.s_addr = iface;
    return SetOption(fd, IPPROTO_IP, option, &mreq, sizeof mreq);
}

// Milliseconds for WSAWaitForMultipleEvents, rounded up so a short scaled
// wait does not become a busy loop.
DWORD WaitMillis(int64_t nanos) {
    if (nanos <= 0) {
        return 0;
    }
    int64_t ms = (nanos + 999999) / 1000000;
    return static_cast<DWORD>(std::min<int64_t>(ms, 0x7FFFFFFF));
}

}  // namespace

uint32_t ParseIPv4(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    in_addr a;
    if (::inet_pton(AF_INET, text, &a) != 1) {
        return 0;
    }
    return a.s_addr;
}

void FormatIPv4(uint32_t addr, char out[16]) {
    const auto* b = reinterpret_cast<const uint8_t*>(&addr);
    std::snprintf(out, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

bool UdpSocket::Open() {
    std::lock_guard<std::mutex> lock(closeMutex_);
    if (fd_.load() != -1) {
        return false;
    }
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return false;
    }
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        ::WSACleanup();
        return false;
    }
    // A datagram sent to a port nobody listens on would otherwise make the
    // next receive fail with WSAECONNRESET (an ICMP answer), which would
    // look like a broken socket to the engines.
    BOOL off = FALSE;
    DWORD returned = 0;
    (void)::WSAIoctl(s, SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &returned, nullptr, nullptr);
    WSAEVENT ev = ::WSACreateEvent();
    if (ev == WSA_INVALID_EVENT || ::WSAEventSelect(s, ev, FD_READ) != 0) {
        if (ev != WSA_INVALID_EVENT) {
            ::WSACloseEvent(ev);
        }
        ::closesocket(s);
        ::WSACleanup();
        return false;
    }
    nonBlocking_.store(false);
    wakeFd_.store(FromHandle(reinterpret_cast<uintptr_t>(ev)));
    fd_.store(FromHandle(static_cast<uintptr_t>(s)));
    closing_.store(false);
    return true;
}

bool UdpSocket::SetReuseAddress() {
    return WithDescriptor([](int fd) {
        BOOL on = TRUE;
        return SetOption(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    });
}

bool UdpSocket::Bind(uint32_t addr, uint16_t port) {
    return WithDescriptor([&](int fd) {
        sockaddr_in sa = MakeAddress(addr, port);
        return ::bind(ToSocket(fd), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    });
}

bool UdpSocket::SetReceiveBuffer(int bytes) {
    return WithDescriptor([&](int fd) { return SetOption(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); });
}

bool UdpSocket::SetMulticastInterface(uint32_t iface) {
    return WithDescriptor([&](int fd) {
        in_addr a;
        a.s_addr = iface;
        return SetOption(fd, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a);
    });
}

bool UdpSocket::SetMulticastTtl(int ttl) {
    return WithDescriptor([&](int fd) {
        DWORD value = static_cast<DWORD>(ttl);
        return SetOption(fd, IPPROTO_IP, IP_MULTICAST_TTL, &value, sizeof value);
    });
}

bool UdpSocket::JoinGroup(uint32_t group, uint32_t iface) {
    return WithDescriptor([&](int fd) { return SetMembership(fd, IP_ADD_MEMBERSHIP, group, iface); });
}

bool UdpSocket::LeaveGroup(uint32_t group, uint32_t iface) {
    return WithDescriptor([&](int fd) { return SetMembership(fd, IP_DROP_MEMBERSHIP, group, iface); });
}

// The socket is non-blocking at the Winsock level from its Open (the event
// registration); this only makes ReceiveFrom return at once. No message is
// registered for a window: the event registration of Open would replace it,
// and the message would carry nothing for the host.
bool UdpSocket::SetNonBlocking() {
    return WithDescriptor([&](int) {
        nonBlocking_.store(true);
        return true;
    });
}

uint16_t UdpSocket::LocalPort() const {
    int fd = fd_.load();
    if (fd == -1) {
        return 0;
    }
    sockaddr_in sa;
    int len = sizeof sa;
    if (::getsockname(ToSocket(fd), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        return 0;
    }
    return ntohs(sa.sin_port);
}

bool UdpSocket::SendTo(const void* data, size_t length, const Endpoint& to) {
    if (!EnterUse()) {
        return false;
    }
    const SOCKET s = ToSocket(fd_.load());
    sockaddr_in sa = MakeAddress(to.addr, to.port);
    int sent = SOCKET_ERROR;
    // The socket is non-blocking: a full send buffer is waited out for a
    // while, as a blocking send would.
    for (int attempt = 0; attempt < 2000 && !closing_.load(); ++attempt) {
        sent = ::sendto(s, static_cast<const char*>(data), static_cast<int>(length), 0,
                        reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        if (sent != SOCKET_ERROR || ::WSAGetLastError() != WSAEWOULDBLOCK) {
            break;
        }
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        timeval tv{0, 1000};
        (void)::select(0, nullptr, &writable, nullptr, &tv);
    }
    LeaveUse();
    return sent != SOCKET_ERROR && static_cast<size_t>(sent) == length;
}

// timeoutNanos < 0 waits without limit; 0 only takes what is already queued
// (-1 when nothing is, as a non-blocking read); otherwise -2 on timeout.
void UdpSocket::Interrupt() {
    if (!EnterUse()) return;
    interrupted_.store(true);
    ::WSASetEvent(ToEvent(wakeFd_.load()));
    LeaveUse();
}

int UdpSocket::ReceiveImpl(void* buffer, size_t capacity, Endpoint* from, int64_t timeoutNanos) {
    if (!EnterUse()) {
        return -1;
    }
    const SOCKET s = ToSocket(fd_.load());
    const WSAEVENT ev = ToEvent(wakeFd_.load());
    const auto deadline = SteadyClock::now() + std::chrono::nanoseconds(timeoutNanos > 0 ? timeoutNanos : 0);
    int result = -1;
    for (;;) {
        // Reset before the read: a datagram that arrives after the read
        // found nothing sets the event again (the read re-arms FD_READ), and
        // Close sets it after raising closing_, which is looked at next.
        ::WSAResetEvent(ev);
        if (closing_.load()) {
            break;
        }
        if (interrupted_.exchange(false)) {
            result = kTimedOut;
            break;
        }
        sockaddr_in sa;
        int salen = sizeof sa;
        int got = ::recvfrom(s, static_cast<char*>(buffer), static_cast<int>(capacity), 0,
                             reinterpret_cast<sockaddr*>(&sa), &salen);
        if (got == SOCKET_ERROR) {
            const int error = ::WSAGetLastError();
            if (error == WSAEMSGSIZE) {
                got = static_cast<int>(capacity);  // a longer datagram, cut to the buffer
            } else if (error == WSAECONNRESET || error == WSAENETRESET) {
                continue;  // an ICMP answer to an earlier send, not a datagram
            } else if (error != WSAEWOULDBLOCK) {
                break;
            }
        }
        if (got != SOCKET_ERROR) {
            if (LostOnArrival(buffer, static_cast<size_t>(got))) {
                continue;  // lost on the way
            }
            if (from != nullptr) {
                from->addr = sa.sin_addr.s_addr;
                from->port = ntohs(sa.sin_port);
            }
            result = got;
            break;
        }
        // Nothing waiting.
        if (timeoutNanos == 0) {
            break;
        }
        DWORD wait = WSA_INFINITE;
        if (timeoutNanos > 0) {
            int64_t left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - SteadyClock::now()).count();
            if (left <= 0) {
                result = kTimedOut;
                break;
            }
            wait = WaitMillis(left);
        }
        DWORD rc = ::WSAWaitForMultipleEvents(1, &ev, FALSE, wait, FALSE);
        if (rc == WSA_WAIT_FAILED) {
            break;
        }
        // Signalled or timed out: read again; past the deadline an empty
        // read ends the wait.
    }
    LeaveUse();
    return result;
}

void UdpSocket::Close() {
    std::lock_guard<std::mutex> lock(closeMutex_);
    int fd = fd_.load();
    if (fd == -1) {
        return;
    }
    closing_.store(true);
    WSAEVENT ev = ToEvent(wakeFd_.load());
    ::WSASetEvent(ev);
    // The handle may only go once nobody is inside a call with it, else its
    // value could be reused under a reader's feet. A receiver resets the
    // event before it looks at closing_, so keep setting it.
    while (readers_.load() != 0) {
        ::WSASetEvent(ev);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    fd_.store(-1);
    wakeFd_.store(-1);
    ::closesocket(ToSocket(fd));
    ::WSACloseEvent(ev);
    ::WSACleanup();
}

}  // namespace tivlo::platform
