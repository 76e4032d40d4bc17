// A host of the library for tests that drive it through its exports: a
// window that records every message, and deterministic file contents.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "tivlo/tivlo.h"

namespace tivlo::testing {

struct TestHost {
    std::mutex mutex;
    std::vector<std::array<intptr_t, 3>> messages;
    TivloWindow window = 0;

    TestHost() { window = TivloCreateWindow(&TestHost::Proc, this); }
    ~TestHost() { TivloDestroyWindow(window); }
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    static void Proc(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam) {
        auto* self = static_cast<TestHost*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->messages.push_back({intptr_t(message), intptr_t(wParam), lParam});
    }
    // Messages with this number and parameters; -1 matches any parameter.
    int Count(uint32_t message, intptr_t wParam = -1, intptr_t lParam = -1) {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (auto& m : messages)
            if (m[0] == intptr_t(message) && (wParam < 0 || m[1] == wParam) && (lParam < 0 || m[2] == lParam)) ++n;
        return n;
    }
    bool WaitFor(uint32_t message, intptr_t wParam, intptr_t lParam, int realMs) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
        while (std::chrono::steady_clock::now() < end) {
            if (Count(message, wParam, lParam) > 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return Count(message, wParam, lParam) > 0;
    }
};

inline std::vector<uint8_t> RandomContent(size_t length, uint32_t seed) {
    std::vector<uint8_t> bytes(length);
    std::mt19937 gen(seed);
    for (auto& byte : bytes) byte = uint8_t(gen());
    return bytes;
}

}  // namespace tivlo::testing
