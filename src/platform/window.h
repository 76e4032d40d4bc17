// Host windows: the channel that carries the library's messages to its host.
// On POSIX a window is a queue with a delivery thread of the library's; on
// Windows it is the host's own window handle.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace tivlo::platform {

using WindowProc = void (*)(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam);

uintptr_t CreateHostWindow(WindowProc proc, void* context);
bool DestroyHostWindow(uintptr_t window);

// Queues a message and returns at once. With text, lParam is ignored and the
// window procedure gets a pointer to a NUL-terminated copy of the text that
// stays valid for the call. Messages to window 0 or to an unknown window are
// dropped.
// True when the message was queued.
bool PostHostMessage(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam);
// A message that must not be lost: posted again until it is queued or the
// window is gone (a host's queue can be full for a while).
void PostHostMessageReliably(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                             const std::atomic<bool>* cancel = nullptr);
void PostHostText(uintptr_t window, uint32_t message, uintptr_t wParam, const std::u16string& text);
// Delivers a message and waits until the window procedure has returned, the
// window is destroyed, or cancel is set (a tear-down that must not wait for
// a host that is itself waiting for the tear-down).
void SendHostMessage(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                     const std::atomic<bool>* cancel = nullptr);

}  // namespace tivlo::platform
