// Host windows on Windows: a window handle is the host's own HWND, and the
// library's messages go to it with PostMessageW and SendMessageW.
// CreateHostWindow makes a message-only window (HWND_MESSAGE) on a thread of
// the library's that pumps its messages, for hosts that want a procedure
// instead of a window of their own. Messages to such a window travel to its
// thread inside one private carrier message (a record with the number, parameters and
// text), so any number reaches the procedure unchanged, even the system's
// own (posting 18 would otherwise end the pump as WM_QUIT), and the text of
// a message is the record's own copy, valid for the whole call.
//
// Text messages (1042) carry a pointer to a UTF-16 copy of the name. With a
// real window the library cannot know when the host has handled a posted
// message, so the copies live in a ring of kTextSlots buffers: a copy stays
// valid until kTextSlots - 1 further distinct texts have been posted after
// it (a text equal to the latest one reuses its buffer). The host reads the
// name when the message arrives, or copies it.
#include "platform/window.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/sync.h"

namespace tivlo::platform {

namespace {

constexpr size_t kTextSlots = 256;
constexpr size_t kTextChars = 261;  // the longest name, 260 characters, and its terminator

struct TextRing {
    std::mutex mutex;
    size_t latest = kTextSlots - 1;
    bool any = false;
    char16_t slots[kTextSlots][kTextChars] = {};
};
TextRing g_texts;

const char16_t* CopyText(const std::u16string& text) {
    const size_t n = std::min(text.size(), kTextChars - 1);
    std::lock_guard<std::mutex> lock(g_texts.mutex);
    char16_t* last = g_texts.slots[g_texts.latest];
    if (g_texts.any && std::char_traits<char16_t>::length(last) == n &&
        std::char_traits<char16_t>::compare(last, text.data(), n) == 0) {
        return last;
    }
    g_texts.latest = (g_texts.latest + 1) % kTextSlots;
    g_texts.any = true;
    char16_t* slot = g_texts.slots[g_texts.latest];
    std::char_traits<char16_t>::copy(slot, text.data(), n);
    slot[n] = u'\0';
    return slot;
}

struct HostWindow {
    WindowProc proc = nullptr;
    void* context = nullptr;
    HWND hwnd = nullptr;
    DWORD threadId = 0;
    std::thread pump;
    std::atomic<bool> live{false};  // messages go to proc only while set
    // Library messages travel as messages of the pump's thread, which the
    // destruction of the window does not purge; once the pump has ended
    // (closed), nothing more is queued and the rest has been dropped.
    std::mutex postMutex;
    bool closed = false;
};

std::mutex g_windowsMutex;
std::map<uintptr_t, std::shared_ptr<HostWindow>> g_windows;

const wchar_t kClassName[] = L"TivloHostWindow";
UINT g_destroyMessage = 0;
UINT g_carrierMessage = 0;

// A message to one of our windows. Posted records are owned by the queue and
// freed by the pump. A sent record lives on the sender's stack and travels
// through the queue as well, so it keeps its place behind the messages
// posted before it; the pump sets `done` when it has been delivered or
// dropped.
struct Carried {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
    bool hasText;
    std::u16string text;
    std::shared_ptr<Event> done = nullptr;  // a sent record's: its sender may have stopped waiting
};

void Finish(Carried* m) {
    if (m->done) m->done->Set();
    delete m;
}

// Waits for a send until it is done, the window is gone or the wait is
// cancelled (a tear-down that must not wait on its own host).
void AwaitSend(const Event& done, HWND hwnd, const std::atomic<bool>* cancel) {
    while (!done.Wait(20)) {
        if ((cancel != nullptr && cancel->load()) || (hwnd != nullptr && !::IsWindow(hwnd))) return;
    }
}

void Deliver(HostWindow* w, const Carried& m) {
    if (w == nullptr || !w->live.load()) {
        return;  // destroyed meanwhile: dropped
    }
    const intptr_t lParam = m.hasText ? reinterpret_cast<intptr_t>(m.text.c_str()) : m.lParam;
    w->proc(w->context, m.message, m.wParam, lParam);
}
HINSTANCE g_instance = nullptr;

LRESULT CALLBACK HostWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == g_destroyMessage && g_destroyMessage != 0) {
        ::DestroyWindow(hwnd);
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

bool RegisterHostClass() {
    static std::once_flag once;
    static bool registered = false;
    std::call_once(once, [] {
        HMODULE self = nullptr;
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             reinterpret_cast<LPCWSTR>(&HostWindowProc), &self);
        g_instance = self;
        WNDCLASSEXW wc;
        std::memset(&wc, 0, sizeof wc);
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = HostWindowProc;
        wc.hInstance = g_instance;
        wc.lpszClassName = kClassName;
        registered = ::RegisterClassExW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
        g_destroyMessage = ::RegisterWindowMessageW(L"TivloHostWindowDestroy");
        g_carrierMessage = ::RegisterWindowMessageW(L"TivloHostWindowMessage");
    });
    return registered && g_destroyMessage != 0 && g_carrierMessage != 0;
}

void PumpMessages(std::shared_ptr<HostWindow> w, std::promise<HWND> created) {
    HWND hwnd = ::CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, g_instance, nullptr);
    if (hwnd == nullptr) {
        created.set_value(nullptr);
        return;
    }
    w->hwnd = hwnd;
    w->threadId = ::GetCurrentThreadId();
    w->live.store(true);
    created.set_value(hwnd);
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == g_carrierMessage) {
            auto* m = reinterpret_cast<Carried*>(msg.lParam);
            Deliver(w.get(), *m);
            Finish(m);
            continue;
        }
        ::DispatchMessageW(&msg);
    }
    // Records still queued behind the end are dropped; their senders go on.
    {
        std::lock_guard<std::mutex> lock(w->postMutex);
        w->closed = true;
    }
    while (::PeekMessageW(&msg, nullptr, g_carrierMessage, g_carrierMessage, PM_REMOVE)) {
        Finish(reinterpret_cast<Carried*>(msg.lParam));
    }
    if (::IsWindow(hwnd)) {
        ::DestroyWindow(hwnd);
    }
}

}  // namespace

uintptr_t CreateHostWindow(WindowProc proc, void* context) {
    if (proc == nullptr || !RegisterHostClass()) {
        return 0;
    }
    auto w = std::make_shared<HostWindow>();
    w->proc = proc;
    w->context = context;
    std::promise<HWND> created;
    std::future<HWND> ready = created.get_future();
    try {
        w->pump = std::thread(PumpMessages, w, std::move(created));
    } catch (const std::system_error&) {
        return 0;
    }
    HWND hwnd = ready.get();
    if (hwnd == nullptr) {
        w->pump.join();
        return 0;
    }
    const auto handle = reinterpret_cast<uintptr_t>(hwnd);
    std::lock_guard<std::mutex> lock(g_windowsMutex);
    g_windows[handle] = w;
    return handle;
}

// Nothing reaches the procedure once this has begun; a delivery in progress
// is waited for, and threads blocked in a send to the window are released.
bool DestroyHostWindow(uintptr_t window) {
    std::shared_ptr<HostWindow> w;
    {
        std::lock_guard<std::mutex> lock(g_windowsMutex);
        auto it = g_windows.find(window);
        if (it == g_windows.end()) {
            return false;
        }
        w = it->second;
        g_windows.erase(it);
    }
    w->live.store(false);
    if (::GetCurrentThreadId() == w->threadId) {
        // From inside the procedure: the pump ends when the call returns.
        ::DestroyWindow(w->hwnd);
        ::PostQuitMessage(0);
        w->pump.detach();
        return true;
    }
    ::SendMessageW(w->hwnd, g_destroyMessage, 0, 0);
    w->pump.join();
    return true;
}

namespace {

std::shared_ptr<HostWindow> FindOurs(uintptr_t window) {
    std::lock_guard<std::mutex> lock(g_windowsMutex);
    auto it = g_windows.find(window);
    return it != g_windows.end() ? it->second : nullptr;
}

// Queues a record to the pump; false (the record untouched) when the pump
// has ended.
bool QueueCarried(HostWindow& w, Carried* record) {
    std::lock_guard<std::mutex> lock(w.postMutex);
    return !w.closed && ::PostThreadMessageW(w.threadId, g_carrierMessage, 0, reinterpret_cast<LPARAM>(record));
}

void PostCarried(HostWindow& w, Carried m) {
    auto* record = new Carried(std::move(m));
    record->done = nullptr;
    if (!QueueCarried(w, record)) {
        delete record;
    }
}

}  // namespace

bool PostHostMessage(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    // Window 0 would make PostMessageW a message to the calling thread.
    if (window == 0) {
        return false;
    }
    if (auto ours = FindOurs(window)) {
        auto* record = new Carried{message, wParam, lParam, false, {}, nullptr};
        if (QueueCarried(*ours, record)) return true;
        delete record;
        return false;
    }
    return ::PostMessageW(reinterpret_cast<HWND>(window), message, static_cast<WPARAM>(wParam),
                          static_cast<LPARAM>(lParam)) != 0;
}

void PostHostMessageReliably(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                             const std::atomic<bool>* cancel) {
    // A full queue refuses posts until the host takes some: wait for it, as
    // long as the window is there and no tear-down waits for this thread.
    while (!PostHostMessage(window, message, wParam, lParam)) {
        if (window == 0 || FindOurs(window) != nullptr || !::IsWindow(reinterpret_cast<HWND>(window)) ||
            (cancel != nullptr && cancel->load()))
            return;
        ::Sleep(10);
    }
}

void PostHostText(uintptr_t window, uint32_t message, uintptr_t wParam, const std::u16string& text) {
    if (window == 0) {
        return;
    }
    if (auto ours = FindOurs(window)) {
        PostCarried(*ours, Carried{message, wParam, 0, true, text});
        return;
    }
    ::PostMessageW(reinterpret_cast<HWND>(window), message, static_cast<WPARAM>(wParam),
                   reinterpret_cast<LPARAM>(CopyText(text)));
}

void SendHostMessage(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                     const std::atomic<bool>* cancel) {
    if (window == 0) {
        return;
    }
    if (auto ours = FindOurs(window)) {
        if (::GetCurrentThreadId() == ours->threadId) {
            Deliver(ours.get(), Carried{message, wParam, lParam, false, {}, nullptr});  // from inside: at once
            return;
        }
        auto done = std::make_shared<Event>();
        auto* record = new Carried{message, wParam, lParam, false, {}, done};
        if (QueueCarried(*ours, record)) {
            AwaitSend(*done, nullptr, cancel);
        } else {
            delete record;
        }
        return;
    }
    const HWND hwnd = reinterpret_cast<HWND>(window);
    // On the window's own thread the procedure runs at once: a helper's send
    // would wait for this very thread.
    if (cancel == nullptr || ::GetWindowThreadProcessId(hwnd, nullptr) == ::GetCurrentThreadId()) {
        ::SendMessageW(hwnd, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
        return;
    }
    // The host's own window: the send runs on a thread of its own, so that
    // the caller can stop waiting when it is cancelled; the thread then
    // finishes whenever the host takes the message.
    auto done = std::make_shared<Event>();
    try {
        std::thread([=] {
            ::SendMessageW(hwnd, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
            done->Set();
        }).detach();
    } catch (const std::system_error&) {
        return;
    }
    AwaitSend(*done, hwnd, cancel);
}

}  // namespace tivlo::platform
