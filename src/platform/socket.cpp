// The system-independent part of UdpSocket: the count of calls inside the
// descriptor that Close waits for, the receive variants and the inbound
// filter. socket_<os>.cpp holds everything that calls the system.
#include "platform/socket.h"

#include "platform/clock.h"

namespace tivlo::platform {

UdpSocket::~UdpSocket() { Close(); }

bool UdpSocket::EnterUse() {
    // Paired with Close: it sets closing_ before it counts the users, and a
    // user counts itself before it looks at closing_, so one of the two
    // always sees the other. fd_ is -1 exactly while no socket is open.
    readers_.fetch_add(1);
    if (closing_.load() || fd_.load() == -1) {
        readers_.fetch_sub(1);
        return false;
    }
    return true;
}

void UdpSocket::LeaveUse() { readers_.fetch_sub(1); }

bool UdpSocket::WithDescriptor(const std::function<bool(int fd)>& call) {
    if (!EnterUse()) {
        return false;
    }
    const bool ok = call(fd_.load());
    LeaveUse();
    return ok;
}

int UdpSocket::ReceiveFrom(void* buffer, size_t capacity, Endpoint* from) {
    return ReceiveImpl(buffer, capacity, from, nonBlocking_.load() ? 0 : -1);
}

int UdpSocket::ReceiveFromTimeout(void* buffer, size_t capacity, Endpoint* from, uint32_t timeoutMs) {
    return ReceiveImpl(buffer, capacity, from, ScaledNanos(timeoutMs));
}

int UdpSocket::ReceiveFromTimeoutNs(void* buffer, size_t capacity, Endpoint* from, uint64_t timeoutNs) {
    // At least a nanosecond: 0 would be a read that does not wait.
    const double real = static_cast<double>(timeoutNs) * TimeScale();
    return ReceiveImpl(buffer, capacity, from, real < 1 ? 1 : static_cast<int64_t>(real));
}

bool UdpSocket::LostOnArrival(const void* data, size_t length) {
    std::lock_guard<std::mutex> lock(filterMutex_);
    return filter_ && filter_(static_cast<const uint8_t*>(data), length);
}

void UdpSocket::SetInboundFilter(InboundFilter filter) {
    std::lock_guard<std::mutex> lock(filterMutex_);
    filter_ = std::move(filter);
}

}  // namespace tivlo::platform
