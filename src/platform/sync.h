// Locks, manual-reset events and threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace tivlo::platform {

using Lock = std::mutex;
using LockGuard = std::lock_guard<std::mutex>;

// A manual-reset event: once set it stays set until Reset.
class Event {
public:
    void Set();
    void Reset();
    bool IsSet() const;
    // Waits at most timeoutMs protocol milliseconds; true when set.
    bool Wait(uint32_t timeoutMs) const;
    void WaitForever() const;

private:
    friend bool WaitBoth(const Event&, const Event&, uint32_t);
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    bool set_ = false;
};

// Waits until both events are set, at most timeoutMs; true when both are set.
bool WaitBoth(const Event& a, const Event& b, uint32_t timeoutMs);

enum class ThreadPriority { Normal, AboveNormal };

// A thread of the library. Start runs body on a new thread; the object can be
// joined or detached; a running thread must be one or the other before the
// object is destroyed or started again. (Destroying it while it runs joins
// it, or detaches it when destroyed from that thread itself, rather than
// ending the process.) Start fails while a thread is still attached.
class Thread {
public:
    Thread() = default;
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    bool Start(std::function<void()> body, ThreadPriority priority = ThreadPriority::Normal);
    bool Running() const { return thread_.joinable(); }
    bool IsCurrent() const { return thread_.joinable() && thread_.get_id() == std::this_thread::get_id(); }
    // Joins unless called from the thread itself (then detaches).
    void Join();
    void Detach();

private:
    std::thread thread_;
};

}  // namespace tivlo::platform
