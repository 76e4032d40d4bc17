// Host windows: the channel that carries the library's messages to its host.
// On POSIX a window is a queue with a delivery thread of the library's; on
// Windows it is the host's own window handle.
#pragma once

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
void PostHostMessage(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam);
void PostHostText(uintptr_t window, uint32_t message, uintptr_t wParam, const std::u16string& text);
// Delivers a message and waits until the window procedure has returned (or
// the window is destroyed).
void SendHostMessage(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam);

}  // namespace tivlo::platform
