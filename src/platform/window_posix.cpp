#include "platform/window.h"

#include <chrono>
#include <condition_variable>
#include <utility>
#include <vector>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace tivlo::platform {

namespace {

struct Message {
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    bool hasText = false;
    std::u16string text;
    // For a sent message: set once the procedure returned; guarded by the
    // window's mutex.
    std::shared_ptr<bool> done;
};

// The queue of a window: a ring of message slots that are reused, so that a
// posted message, its text included, costs no allocation once the ring and
// the slots' strings have grown to what the traffic needs (a 1042 goes out
// with every block).
class MessageRing {
public:
    bool empty() const { return count_ == 0; }
    // The slot for the next message, at the back; its text keeps the
    // capacity of an earlier message.
    Message& PushSlot() {
        if (count_ == slots_.size()) Grow();
        Message& m = slots_[(head_ + count_) % slots_.size()];
        ++count_;
        return m;
    }
    // Swaps the front message into out (so each keeps a buffer) and drops it.
    void PopInto(Message& out) {
        std::swap(out, slots_[head_]);
        slots_[head_].done.reset();
        head_ = (head_ + 1) % slots_.size();
        --count_;
    }
    void clear() {
        for (Message& m : slots_) m.done.reset();
        head_ = count_ = 0;
    }

private:
    void Grow() {
        std::vector<Message> bigger(slots_.empty() ? 16 : slots_.size() * 2);
        for (size_t i = 0; i < count_; ++i) std::swap(bigger[i], slots_[(head_ + i) % slots_.size()]);
        slots_.swap(bigger);
        head_ = 0;
    }
    std::vector<Message> slots_;
    size_t head_ = 0;
    size_t count_ = 0;
};

struct Window {
    WindowProc proc = nullptr;
    void* context = nullptr;
    std::mutex mutex;
    std::condition_variable wake;      // the delivery thread: a message or destroy
    std::condition_variable finished;  // senders: a sent message done, or destroy
    MessageRing queue;
    // The delivery thread waits for wake: only then does a post notify it
    // (a notification per message would cost a system call per block).
    bool idle = false;
    bool destroyed = false;
    std::thread thread;

    ~Window() {
        // Only reached after Destroy joined (or detached, from inside the
        // procedure) the thread, or at process exit.
        if (thread.joinable()) {
            thread.detach();
        }
    }
};

// How long the delivery thread lingers after a message before it waits: at
// most this delay for a message that finds it napping.
constexpr std::chrono::microseconds kDeliveryNap{1000};

// The window whose delivery thread this is, so a send from inside the
// procedure is delivered inline instead of waiting for itself.
thread_local Window* t_deliveringWindow = nullptr;

struct Registry {
    std::mutex mutex;
    uintptr_t nextId = 1;
    std::unordered_map<uintptr_t, std::shared_ptr<Window>> windows;
};

// Never destroyed: delivery threads may still run while statics go away at
// process exit.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

std::shared_ptr<Window> Find(uintptr_t id) {
    if (id == 0) {
        return nullptr;
    }
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.windows.find(id);
    return it == r.windows.end() ? nullptr : it->second;
}

void Deliver(Window& w, const Message& m) {
    intptr_t lParam = m.hasText ? reinterpret_cast<intptr_t>(m.text.c_str()) : m.lParam;
    w.proc(w.context, m.message, m.wParam, lParam);
}

void DeliveryLoop(std::shared_ptr<Window> w) {
    t_deliveringWindow = w.get();
    std::unique_lock<std::mutex> lock(w->mutex);
    Message m;
    bool delivered = false;
    for (;;) {
        if (delivered && w->queue.empty() && !w->destroyed) {
            // Messages came one by one (a 1042 per block at tens of
            // thousands a second): take a short nap before waiting, so the
            // next ones are delivered together after one wake-up instead
            // of one wake-up each. Posters do not notify meanwhile.
            delivered = false;
            lock.unlock();
            std::this_thread::sleep_for(kDeliveryNap);
            lock.lock();
            continue;
        }
        w->idle = true;
        w->wake.wait(lock, [&] { return w->destroyed || !w->queue.empty(); });
        w->idle = false;
        if (w->destroyed) {
            break;
        }
        w->queue.PopInto(m);
        delivered = true;
        lock.unlock();
        Deliver(*w, m);
        lock.lock();
        if (m.done) {
            *m.done = true;
            m.done.reset();
            w->finished.notify_all();
        }
    }
    t_deliveringWindow = nullptr;
}

// Queues a message; text (for hasText) is copied into the slot's own string.
bool Enqueue(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam, const std::u16string* text) {
    std::shared_ptr<Window> w = Find(window);
    if (!w) {
        return false;
    }
    std::lock_guard<std::mutex> lock(w->mutex);
    if (w->destroyed) {
        return false;
    }
    Message& m = w->queue.PushSlot();
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    m.hasText = text != nullptr;
    if (text != nullptr) {
        m.text.assign(*text);
    } else {
        m.text.clear();
    }
    if (w->idle) {
        w->wake.notify_one();
    }
    return true;
}

}  // namespace

uintptr_t CreateHostWindow(WindowProc proc, void* context) {
    if (proc == nullptr) {
        return 0;
    }
    auto w = std::make_shared<Window>();
    w->proc = proc;
    w->context = context;
    try {
        w->thread = std::thread(DeliveryLoop, w);
    } catch (const std::system_error&) {
        return 0;
    }
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    uintptr_t id = r.nextId++;
    r.windows.emplace(id, std::move(w));
    return id;
}

bool DestroyHostWindow(uintptr_t window) {
    std::shared_ptr<Window> w;
    {
        Registry& r = TheRegistry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.windows.find(window);
        if (it == r.windows.end()) {
            return false;
        }
        w = std::move(it->second);
        r.windows.erase(it);
    }
    {
        std::lock_guard<std::mutex> lock(w->mutex);
        w->destroyed = true;
        w->queue.clear();  // pending messages are dropped
        w->wake.notify_all();
        w->finished.notify_all();  // releases blocked senders
    }
    if (t_deliveringWindow == w.get()) {
        // Called from the procedure: the thread ends when it returns.
        w->thread.detach();
    } else {
        w->thread.join();  // waits for a delivery in progress
    }
    return true;
}

bool PostHostMessage(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return Enqueue(window, message, wParam, lParam, nullptr);
}

// The queue of a window has no limit: a post fails only when the window is
// gone.
void PostHostMessageReliably(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                             const std::atomic<bool>*) {
    (void)PostHostMessage(window, message, wParam, lParam);
}

void PostHostText(uintptr_t window, uint32_t message, uintptr_t wParam, const std::u16string& text) {
    Enqueue(window, message, wParam, 0, &text);
}

void SendHostMessage(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                     const std::atomic<bool>* cancel) {
    std::shared_ptr<Window> w = Find(window);
    if (!w) {
        return;
    }
    Message m;
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    if (t_deliveringWindow == w.get()) {
        // From inside the procedure: waiting for the own thread would never end.
        {
            std::lock_guard<std::mutex> lock(w->mutex);
            if (w->destroyed) {
                return;
            }
        }
        Deliver(*w, m);
        return;
    }
    auto done = std::make_shared<bool>(false);
    std::unique_lock<std::mutex> lock(w->mutex);
    if (w->destroyed) {
        return;
    }
    Message& slot = w->queue.PushSlot();
    slot.message = message;
    slot.wParam = wParam;
    slot.lParam = lParam;
    slot.hasText = false;
    slot.done = done;
    w->wake.notify_one();
    // Woken by the delivery or a destroy; a cancel is looked at every 20 ms.
    while (!*done && !w->destroyed && !(cancel != nullptr && cancel->load()))
        w->finished.wait_for(lock, std::chrono::milliseconds(20));
}

}  // namespace tivlo::platform
