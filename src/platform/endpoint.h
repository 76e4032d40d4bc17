// An IPv4 endpoint: what a socket sends to and receives from.
#pragma once

#include <cstdint>

namespace tivlo::platform {

// addr in network byte order (what inet_addr returns), port in host order.
struct Endpoint {
    uint32_t addr = 0;
    uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

}  // namespace tivlo::platform
