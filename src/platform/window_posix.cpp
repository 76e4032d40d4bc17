#include "platform/window.h"

#include <condition_variable>
#include <deque>
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

struct Window {
    WindowProc proc = nullptr;
    void* context = nullptr;
    std::mutex mutex;
    std::condition_variable wake;      // the delivery thread: a message or destroy
    std::condition_variable finished;  // senders: a sent message done, or destroy
    std::deque<Message> queue;
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
    for (;;) {
        w->wake.wait(lock, [&] { return w->destroyed || !w->queue.empty(); });
        if (w->destroyed) {
            break;
        }
        Message m = std::move(w->queue.front());
        w->queue.pop_front();
        lock.unlock();
        Deliver(*w, m);
        lock.lock();
        if (m.done) {
            *m.done = true;
            w->finished.notify_all();
        }
    }
    t_deliveringWindow = nullptr;
}

void Enqueue(uintptr_t window, Message m) {
    std::shared_ptr<Window> w = Find(window);
    if (!w) {
        return;
    }
    std::lock_guard<std::mutex> lock(w->mutex);
    if (w->destroyed) {
        return;
    }
    w->queue.push_back(std::move(m));
    w->wake.notify_one();
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

void PostHostMessage(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    Message m;
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    Enqueue(window, std::move(m));
}

void PostHostText(uintptr_t window, uint32_t message, uintptr_t wParam, const std::u16string& text) {
    Message m;
    m.message = message;
    m.wParam = wParam;
    m.hasText = true;
    m.text = text;
    Enqueue(window, std::move(m));
}

void SendHostMessage(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
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
    m.done = done;
    std::unique_lock<std::mutex> lock(w->mutex);
    if (w->destroyed) {
        return;
    }
    w->queue.push_back(std::move(m));
    w->wake.notify_one();
    w->finished.wait(lock, [&] { return *done || w->destroyed; });
}

}  // namespace tivlo::platform
