#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <time.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/clock.h"

#ifndef IP_MULTICAST_ALL
#define IP_MULTICAST_ALL 49
#endif

namespace tivlo::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

sockaddr_in MakeAddress(uint32_t addr, uint16_t port) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    sa.sin_port = htons(port);
    return sa;
}

// IP_ADD_MEMBERSHIP or IP_DROP_MEMBERSHIP.
bool SetMembership(int fd, int option, uint32_t group, uint32_t iface) {
    ip_mreq mreq;
    mreq.imr_multiaddr.s_addr = group;
    mreq.imr_interface.s_addr = iface;
    return ::setsockopt(fd, IPPROTO_IP, option, &mreq, sizeof mreq) == 0;
}

}  // namespace

uint32_t ParseIPv4(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1) {
        return 0;
    }
    return a.s_addr;
}

void FormatIPv4(uint32_t addr, char out[16]) {
    in_addr a;
    a.s_addr = addr;
    if (inet_ntop(AF_INET, &a, out, 16) == nullptr) {
        out[0] = '\0';
    }
}

bool UdpSocket::Open() {
    std::lock_guard<std::mutex> lock(closeMutex_);
    if (fd_.load() >= 0) {
        return false;
    }
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    // Without this a socket receives every group any socket of the host joined
    // on its port.
    int off = 0;
    if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0) {
        ::close(fd);
        return false;
    }
    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        ::close(fd);
        return false;
    }
    nonBlocking_.store(false);
    wakeFd_.store(wake);
    fd_.store(fd);
    closing_.store(false);
    return true;
}

bool UdpSocket::SetReuseAddress() {
    return WithDescriptor([](int fd) {
        int on = 1;
        return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
    });
}

bool UdpSocket::Bind(uint32_t addr, uint16_t port) {
    return WithDescriptor([&](int fd) {
        sockaddr_in sa = MakeAddress(addr, port);
        return ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    });
}

bool UdpSocket::SetReceiveBuffer(int bytes) {
    return WithDescriptor([&](int fd) {
        // The forced variant passes the system's limit but needs CAP_NET_ADMIN.
        return ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0 ||
               ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
    });
}

bool UdpSocket::SetMulticastInterface(uint32_t iface) {
    return WithDescriptor([&](int fd) {
        in_addr a;
        a.s_addr = iface;
        return ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a) == 0;
    });
}

bool UdpSocket::SetMulticastTtl(int ttl) {
    return WithDescriptor(
        [&](int fd) { return ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0; });
}

bool UdpSocket::JoinGroup(uint32_t group, uint32_t iface) {
    return WithDescriptor([&](int fd) { return SetMembership(fd, IP_ADD_MEMBERSHIP, group, iface); });
}

bool UdpSocket::LeaveGroup(uint32_t group, uint32_t iface) {
    return WithDescriptor([&](int fd) { return SetMembership(fd, IP_DROP_MEMBERSHIP, group, iface); });
}

bool UdpSocket::SetNonBlocking() {
    return WithDescriptor([&](int fd) {
        int flags = ::fcntl(fd, F_GETFL);
        bool ok = flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
        if (ok) {
            nonBlocking_.store(true);
        }
        return ok;
    });
}

uint16_t UdpSocket::LocalPort() const {
    int fd = fd_.load();
    if (fd < 0) {
        return 0;
    }
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        return 0;
    }
    return ntohs(sa.sin_port);
}

bool UdpSocket::SendTo(const void* data, size_t length, const Endpoint& to) {
    if (!EnterUse()) {
        return false;
    }
    sockaddr_in sa = MakeAddress(to.addr, to.port);
    ssize_t sent;
    do {
        sent = ::sendto(fd_.load(), data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa),
                        sizeof sa);
    } while (sent < 0 && errno == EINTR);
    LeaveUse();
    return sent >= 0 && static_cast<size_t>(sent) == length;
}

// timeoutNanos < 0 waits without limit; 0 only takes what is already queued
// (-1 when nothing is, as a non-blocking read); otherwise -2 on timeout.
void UdpSocket::Interrupt() {
    if (!EnterUse()) return;
    interrupted_.store(true);
    const uint64_t one = 1;
    (void)::write(wakeFd_.load(), &one, sizeof one);
    LeaveUse();
}

int UdpSocket::ReceiveImpl(void* buffer, size_t capacity, Endpoint* from, int64_t timeoutNanos) {
    if (!EnterUse()) {
        return -1;
    }
    const int fd = fd_.load();
    const int wake = wakeFd_.load();
    const auto deadline = SteadyClock::now() + std::chrono::nanoseconds(timeoutNanos > 0 ? timeoutNanos : 0);
    int result = -1;
    bool napped = false;  // the last wait was a nap
    for (;;) {
        // A datagram already queued is read without a poll first: under a
        // fast stream that halves the system calls per datagram.
        if (!closing_.load() && !interrupted_.load()) {
            sockaddr_in sa;
            socklen_t salen = sizeof sa;
            const ssize_t got =
                ::recvfrom(fd, buffer, capacity, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), &salen);
            if (got >= 0) {
                if (napped) dense_ = true;
                if (LostOnArrival(buffer, static_cast<size_t>(got))) {
                    continue;  // lost on the way
                }
                if (from != nullptr) {
                    from->addr = sa.sin_addr.s_addr;
                    from->port = ntohs(sa.sin_port);
                }
                result = static_cast<int>(got);
                break;
            }
            if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
                break;
            }
        }
        if (dense_ && timeoutNanos != 0 && !closing_.load() && !interrupted_.load()) {
            // More are on their way: nap rather than be woken for each.
            dense_ = false;
            int64_t nap = static_cast<int64_t>(batchWaitNs_);
            if (timeoutNanos > 0) {
                nap = std::min<int64_t>(
                    nap, std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - SteadyClock::now()).count());
            }
            if (nap > 0) {
                timespec ts{static_cast<time_t>(nap / 1000000000), static_cast<long>(nap % 1000000000)};
                (void)::nanosleep(&ts, nullptr);
                napped = true;
                continue;
            }
        }
        napped = false;
        pollfd fds[2];
        fds[0] = {fd, POLLIN, 0};
        fds[1] = {wake, POLLIN, 0};
        timespec ts;
        timespec* tsp = nullptr;
        if (timeoutNanos >= 0) {
            int64_t left = 0;
            if (timeoutNanos > 0) {
                left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - SteadyClock::now())
                           .count();
                if (left < 0) {
                    left = 0;
                }
            }
            ts.tv_sec = static_cast<time_t>(left / 1000000000);
            ts.tv_nsec = static_cast<long>(left % 1000000000);
            tsp = &ts;
        }
        const auto pollStart = SteadyClock::now();
        int n = ::ppoll(fds, 2, tsp, nullptr);
        if (n > 0 && (fds[0].revents & POLLIN) != 0 && batchWaitNs_ != 0) {
            dense_ = SteadyClock::now() - pollStart < std::chrono::nanoseconds(batchWaitNs_);
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (closing_.load()) {
            break;  // closed
        }
        if (fds[1].revents != 0) {
            uint64_t count = 0;
            (void)::read(wake, &count, sizeof count);
            if (interrupted_.exchange(false)) {
                result = kTimedOut;
                break;
            }
            continue;
        }
        if (n == 0) {
            result = timeoutNanos == 0 ? -1 : kTimedOut;
            break;
        }
        if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0 && (fds[0].revents & POLLIN) == 0) {
            break;
        }
        // Readable: the read at the top of the loop takes it.
    }
    LeaveUse();
    return result;
}

void UdpSocket::Close() {
    std::lock_guard<std::mutex> lock(closeMutex_);
    int fd = fd_.load();
    if (fd < 0) {
        return;
    }
    closing_.store(true);
    int wake = wakeFd_.load();
    uint64_t one = 1;
    // The counter stays nonzero, so every present and later poll sees it.
    (void)!::write(wake, &one, sizeof one);
    // The descriptor may only go once nobody is inside a call with it,
    // else its number could be reused under a reader's feet.
    while (readers_.load() != 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    fd_.store(-1);
    wakeFd_.store(-1);
    ::close(fd);
    ::close(wake);
}

}  // namespace tivlo::platform
