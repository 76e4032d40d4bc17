// A received datagram copied into a heap block of exactly its length, so
// that the address sanitizer flags any read past the received bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

namespace tivlo::protocol::testing {

class HeapDatagram {
public:
    HeapDatagram(const uint8_t* bytes, size_t length) : bytes_(new uint8_t[length]), length_(length) {
        if (length) std::memcpy(bytes_.get(), bytes, length);
    }
    explicit HeapDatagram(const std::vector<uint8_t>& bytes) : HeapDatagram(bytes.data(), bytes.size()) {}

    std::span<const uint8_t> span() const { return {bytes_.get(), length_}; }
    uint8_t* data() { return bytes_.get(); }

private:
    std::unique_ptr<uint8_t[]> bytes_;
    size_t length_;
};

}  // namespace tivlo::protocol::testing
