// IPv4 UDP sockets with the options the protocol uses.
//
// On Linux a socket bound to a unicast address receives no multicast, so
// multicast receivers bind INADDR_ANY on their port and name the interface
// only for membership and IP_MULTICAST_IF. Every socket sets
// IP_MULTICAST_ALL to 0, so it receives only the groups it joined itself.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/endpoint.h"

namespace tivlo::platform {


// Parses a dotted quad; returns the address in network order, 0 when invalid.
uint32_t ParseIPv4(const char* text);
// Formats an address in network order as a dotted quad.
void FormatIPv4(uint32_t addr, char out[16]);

class UdpSocket {
public:
    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    bool Open();
    bool IsOpen() const { return fd_.load() >= 0; }
    bool SetReuseAddress();
    bool Bind(uint32_t addr, uint16_t port);
    // Asks for the receive buffer; tries the forced variant first (root).
    bool SetReceiveBuffer(int bytes);
    bool SetMulticastInterface(uint32_t iface);
    bool SetMulticastTtl(int ttl);
    bool JoinGroup(uint32_t group, uint32_t iface);
    bool LeaveGroup(uint32_t group, uint32_t iface);
    bool SetNonBlocking();
    uint16_t LocalPort() const;

    // One datagram; true when the whole datagram was sent.
    bool SendTo(const void* data, size_t length, const Endpoint& to);

    // Blocks until a datagram arrives or the socket is closed. Returns the
    // number of bytes stored (a longer datagram is cut to capacity), or -1
    // when the socket is closed or the read failed. On a non-blocking socket
    // returns -1 at once when nothing is waiting (ReceiveFromTimeout still
    // waits its time there).
    int ReceiveFrom(void* buffer, size_t capacity, Endpoint* from);
    // As ReceiveFrom, waiting at most timeoutMs protocol milliseconds;
    // returns 0 ... n bytes, -1 on failure or close, -2 on timeout.
    int ReceiveFromTimeout(void* buffer, size_t capacity, Endpoint* from, uint32_t timeoutMs);
    // The same with a wait in protocol nanoseconds, for timers finer than a
    // millisecond.
    int ReceiveFromTimeoutNs(void* buffer, size_t capacity, Endpoint* from, uint64_t timeoutNs);

    // While datagrams arrive densely (the last wait was answered within
    // this time), an empty socket is waited on by a sleep of this length
    // instead of a poll: the sending kernel then finds no thread to wake
    // and the receiver takes the datagrams in batches, which on a fast
    // stream costs both sides far less than one wake-up per datagram.
    // 0 (the default) polls always. POSIX only; on Windows sleeps are
    // too coarse for it and the setting is ignored. One receiving thread.
    void SetBatchWait(uint64_t nanos) { batchWaitNs_ = nanos; }

    // Closes the socket and wakes every thread blocked in a receive on it.
    void Close();
    // Ends a receive that waits right now (or the next one) as if its time
    // were up, so that its thread can look at what has changed.
    void Interrupt();

    // Test hook: a datagram for which the filter returns true is dropped on
    // arrival, as if the network had lost it.
    using InboundFilter = std::function<bool(const uint8_t* data, size_t length)>;
    void SetInboundFilter(InboundFilter filter);

    static constexpr int kTimedOut = -2;

private:
    int ReceiveImpl(void* buffer, size_t capacity, Endpoint* from, int64_t timeoutNanos);
    // Marks a call that uses the descriptor; false when the socket is closed
    // or closing. Close waits until every user has left before it closes.
    bool EnterUse();
    void LeaveUse();
    // Calls call with the descriptor between EnterUse and LeaveUse: false
    // when the socket is closed or closing, else what call returns.
    bool WithDescriptor(const std::function<bool(int fd)>& call);
    // True when the inbound filter drops this datagram.
    bool LostOnArrival(const void* data, size_t length);

    std::atomic<int> fd_{-1};
    std::atomic<int> wakeFd_{-1};
    std::atomic<int> readers_{0};  // calls inside the descriptor, receives or not
    std::atomic<bool> closing_{false};
    std::atomic<bool> nonBlocking_{false};
    std::atomic<bool> interrupted_{false};
    uint64_t batchWaitNs_ = 0;
    bool dense_ = false;  // the last wait was answered within batchWaitNs_
    std::mutex closeMutex_;  // one Open or Close at a time
    std::mutex filterMutex_;
    InboundFilter filter_;
};

}  // namespace tivlo::platform
