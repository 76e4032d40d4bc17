// Pacing of the stream at a set rate (only the timing of the datagrams
// changes): a token bucket driven by deadlines on the monotonic clock.
//
// Every datagram has a due time, base + (bytes sent before it) / rate, so
// the stream keeps the rate on average however late the sleeps wake: a late
// wake only makes the next burst longer, it never shifts the later deadlines.
// A burst is what the rate allows within one quantum (1 ms, at least one
// datagram), so the thread sleeps at most about a thousand times a second
// whatever the rate. A sender that falls behind (a busy machine preempts
// it for a few milliseconds) catches up; one behind by more than kCatchUpNs
// (a slow disk) drops the missed credit rather than send it as one long
// burst that receivers' socket buffers could not hold.
//
// Pure arithmetic over times the caller passes in, so it can be tested
// without a clock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tivlo::sender {

class StreamPacer {
public:
    static constexpr uint64_t kQuantumNs = 1000000;
    // At 1 Gbit/s, 1 MB: an eighth of a receiver's socket buffer.
    static constexpr uint64_t kCatchUpNs = 8 * kQuantumNs;

    // Nanoseconds the rate needs for this many bytes, rounded down.
    static uint64_t NanosFor(uint64_t bytes, uint32_t kilobitsPerSecond) {
        // bytes * 8 bits * 10^9 ns / (kbps * 1000 bits/s), split so the
        // product cannot overflow for any transfer size.
        const uint64_t perKilobit = 8000000;
        return (bytes / kilobitsPerSecond) * perKilobit +
               (bytes % kilobitsPerSecond) * perKilobit / kilobitsPerSecond;
    }

    // kilobitsPerSecond must not be 0 (0 is the fixed pace, not a rate).
    StreamPacer(uint32_t kilobitsPerSecond, uint64_t nowNs) : rate_(kilobitsPerSecond), base_(nowNs) {}

    // How long to wait before the next datagram may go; 0: send it now.
    // A datagram due within the next quantum goes at once (the burst); a
    // later one is waited for until its due time, which opens the next burst.
    uint64_t WaitNs(uint64_t nowNs) {
        const uint64_t due = DueNs();
        if (due + kCatchUpNs < nowNs) {
            // Too far behind: the missed credit is dropped.
            base_ = nowNs;
            sent_ = 0;
            return 0;
        }
        if (due <= nowNs + kQuantumNs) return 0;
        return due - nowNs;
    }

    // Books a datagram of this many bytes as sent.
    void Sent(size_t bytes) { sent_ += bytes; }

    // The due time of the next datagram.
    uint64_t DueNs() const { return base_ + NanosFor(sent_, rate_); }

    uint32_t rate() const { return rate_; }

private:
    uint32_t rate_;
    uint64_t base_;       // start of the credit count
    uint64_t sent_ = 0;   // bytes booked since base_
};

}  // namespace tivlo::sender
