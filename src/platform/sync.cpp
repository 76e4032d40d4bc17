#include "platform/sync.h"

#include <chrono>
#include <system_error>

#include "platform/clock.h"
#include "platform/os_detail.h"

namespace tivlo::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

SteadyClock::time_point DeadlineAfter(uint32_t timeoutMs) {
    return SteadyClock::now() + std::chrono::nanoseconds(ScaledNanos(timeoutMs));
}

}  // namespace

// Notifies under the lock: a woken waiter may destroy the event at once, so
// Set must not touch it after the lock is gone.
void Event::Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
    cv_.notify_all();
}

void Event::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
}

bool Event::IsSet() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
}

bool Event::Wait(uint32_t timeoutMs) const {
    auto deadline = DeadlineAfter(timeoutMs);
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_until(lock, deadline, [this] { return set_; });
}

void Event::WaitForever() const {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return set_; });
}

bool WaitBoth(const Event& a, const Event& b, uint32_t timeoutMs) {
    auto deadline = DeadlineAfter(timeoutMs);
    // Each event has its own lock, so wait on whichever is still clear and
    // look at both again; an event reset meanwhile is waited for again.
    for (;;) {
        bool aSet = a.IsSet();
        bool bSet = b.IsSet();
        if (aSet && bSet) {
            return true;
        }
        const Event& pending = aSet ? b : a;
        std::unique_lock<std::mutex> lock(pending.mutex_);
        if (!pending.cv_.wait_until(lock, deadline, [&pending] { return pending.set_; })) {
            lock.unlock();
            return a.IsSet() && b.IsSet();
        }
    }
}

// Destroying a running thread joins it: its body normally uses the object
// that owns it, so letting it run on (detached) would reach freed memory.
// From the thread itself a join is impossible, so it is detached then.
Thread::~Thread() {
    if (thread_.joinable()) {
        Join();
    }
}

bool Thread::Start(std::function<void()> body, ThreadPriority priority) {
    if (thread_.joinable() || !body) {
        return false;
    }
    try {
        thread_ = std::thread([body = std::move(body), priority] {
            if (priority == ThreadPriority::AboveNormal) {
                detail::RaiseCurrentThreadPriority();
            }
            body();
        });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void Thread::Join() {
    if (!thread_.joinable()) {
        return;
    }
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
        return;
    }
    thread_.join();
}

void Thread::Detach() {
    if (thread_.joinable()) {
        thread_.detach();
    }
}

}  // namespace tivlo::platform
