// Host windows: a queue per window delivered by a thread of the library.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "platform/window.h"

namespace tivlo::platform {
namespace {

using namespace std::chrono_literals;

// What a window procedure saw, and a gate that can hold it inside a call.
struct Recorder {
    std::mutex mutex;
    std::vector<uint32_t> messages;
    std::vector<std::u16string> texts;
    std::vector<std::thread::id> threads;
    uint32_t blockOn = 0;  // the procedure waits for `gate` on this message
    Event gate;
    Event entered;  // set when the blocking message arrived
    uintptr_t self = 0;
    uint32_t sendInsideOn = 0;     // on this message, send 999 to itself
    uint32_t destroyInsideOn = 0;  // on this message, destroy its own window
    std::atomic<bool> destroyInsideResult{false};

    std::vector<uint32_t> Messages() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }
};

void RecordingProc(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    auto* r = static_cast<Recorder*>(context);
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->messages.push_back(message);
        r->threads.push_back(std::this_thread::get_id());
        if (wParam == 7) {
            r->texts.emplace_back(reinterpret_cast<const char16_t*>(lParam));
        }
    }
    if (message == r->blockOn) {
        r->entered.Set();
        r->gate.WaitForever();
    }
    if (message == r->sendInsideOn) {
        SendHostMessage(r->self, 999, 0, 0);
    }
    if (message == r->destroyInsideOn) {
        r->destroyInsideResult = DestroyHostWindow(r->self);
    }
}

// Polls for a condition for up to two seconds of real time.
template <typename F>
bool Eventually(F condition) {
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(1ms);
    }
    return condition();
}

TEST(HostWindow, HandlesAreDistinctAndNonZero) {
    Recorder a, b;
    uintptr_t wa = CreateHostWindow(RecordingProc, &a);
    uintptr_t wb = CreateHostWindow(RecordingProc, &b);
    EXPECT_NE(wa, 0u);
    EXPECT_NE(wb, 0u);
    EXPECT_NE(wa, wb);
    EXPECT_EQ(CreateHostWindow(nullptr, &a), 0u);
    EXPECT_TRUE(DestroyHostWindow(wa));
    EXPECT_TRUE(DestroyHostWindow(wb));
    EXPECT_FALSE(DestroyHostWindow(wa));  // already gone
    EXPECT_FALSE(DestroyHostWindow(0));
}

TEST(HostWindow, DeliversInIssueOrderOnOneLibraryThread) {
    Recorder r;
    uintptr_t w = CreateHostWindow(RecordingProc, &r);
    ASSERT_NE(w, 0u);
    std::vector<uint32_t> expected;
    for (uint32_t i = 1; i <= 200; ++i) {
        if (i % 50 == 0) {
            SendHostMessage(w, i, 0, 0);
        } else {
            PostHostMessage(w, i, 0, 0);
        }
        expected.push_back(i);
    }
    // The last message was sent, so everything before it has been delivered.
    EXPECT_EQ(r.Messages(), expected);
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        for (auto id : r.threads) {
            EXPECT_EQ(id, r.threads.front());
            EXPECT_NE(id, std::this_thread::get_id());
        }
    }
    EXPECT_TRUE(DestroyHostWindow(w));
}

TEST(HostWindow, PostDoesNotWaitForTheProcedure) {
    Recorder r;
    r.blockOn = 1;
    uintptr_t w = CreateHostWindow(RecordingProc, &r);
    PostHostMessage(w, 1, 0, 0);
    ASSERT_TRUE(r.entered.Wait(5000));
    // The procedure is held inside message 1; posting still returns at once.
    auto start = std::chrono::steady_clock::now();
    PostHostMessage(w, 2, 0, 0);
    PostHostText(w, 3, 7, u"x");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_EQ(r.Messages(), std::vector<uint32_t>{1});
    r.gate.Set();
    EXPECT_TRUE(Eventually([&] { return r.Messages().size() == 3; }));
    EXPECT_EQ(r.Messages(), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_TRUE(DestroyHostWindow(w));
}

TEST(HostWindow, SendWaitsUntilTheProcedureReturned) {
    Recorder r;
    r.blockOn = 1054;
    uintptr_t w = CreateHostWindow(RecordingProc, &r);
    std::atomic<bool> returned{false};
    std::thread sender([&] {
        SendHostMessage(w, 1054, 0, 0);
        returned = true;
    });
    ASSERT_TRUE(r.entered.Wait(5000));
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned.load());  // the procedure is still inside the call
    r.gate.Set();
    sender.join();
    EXPECT_TRUE(returned.load());
    EXPECT_TRUE(DestroyHostWindow(w));
}

TEST(HostWindow, TextIsACopyValidDuringTheCall) {
    Recorder r;
    uintptr_t w = CreateHostWindow(RecordingProc, &r);
    std::u16string name = u"docs\\caf\u00e9 \U0001F600.txt";
    PostHostText(w, 1042, 7, name);
    name.assign(u"overwritten");  // the window keeps its own copy
    PostHostText(w, 1042, 7, u"");
    SendHostMessage(w, 1, 0, 0);
    std::lock_guard<std::mutex> lock(r.mutex);
    ASSERT_EQ(r.texts.size(), 2u);
    EXPECT_EQ(r.texts[0], u"docs\\caf\u00e9 \U0001F600.txt");
    EXPECT_EQ(r.texts[1], u"");
    (void)DestroyHostWindow(w);
}

TEST(HostWindow, NothingReachesWindowZeroOrADestroyedWindow) {
    Recorder r;
    uintptr_t w = CreateHostWindow(RecordingProc, &r);
    PostHostMessage(0, 1, 0, 0);
    PostHostText(0, 2, 7, u"a");
    SendHostMessage(0, 3, 0, 0);  // returns without anyone to wait for
    EXPECT_TRUE(DestroyHostWindow(w));
    PostHostMessage(w, 4, 0, 0);
    PostHostText(w, 5, 7, u"b");
    SendHostMessage(w, 6, 0, 0);
    PostHostMessage(w + 1000, 7, 0, 0);  // never created
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(r.Messages().empty());
}

TEST(HostWindow, DestroyWaitsForTheDeliveryInProgressAndDropsTheRest) {
    Recorder r;
    r.blockOn = 1;
    uintptr_t w = CreateHostWindow(RecordingProc, &r);
    PostHostMessage(w, 1, 0, 0);
    PostHostMessage(w, 2, 0, 0);
    ASSERT_TRUE(r.entered.Wait(5000));
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        EXPECT_TRUE(DestroyHostWindow(w));
        destroyed = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(destroyed.load());  // message 1 is still being delivered
    r.gate.Set();
    destroyer.join();
    EXPECT_TRUE(destroyed.load());
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(r.Messages(), std::vector<uint32_t>{1});  // 2 was dropped
}

TEST(HostWindow, DestroyReleasesABlockedSender) {
    Recorder r;
    r.blockOn = 1;
    uintptr_t w = CreateHostWindow(RecordingProc, &r);
    PostHostMessage(w, 1, 0, 0);
    ASSERT_TRUE(r.entered.Wait(5000));
    std::atomic<bool> sendReturned{false};
    std::thread sender([&] {
        SendHostMessage(w, 1054, 0, 0);  // queued behind the held message
        sendReturned = true;
    });
    std::this_thread::sleep_for(20ms);
    std::thread destroyer([&] { EXPECT_TRUE(DestroyHostWindow(w)); });
    std::this_thread::sleep_for(20ms);
    r.gate.Set();
    destroyer.join();
    sender.join();
    EXPECT_TRUE(sendReturned.load());
    EXPECT_EQ(r.Messages(), std::vector<uint32_t>{1});
}

TEST(HostWindow, SendFromInsideTheProcedureIsDeliveredInline) {
    Recorder r;
    r.sendInsideOn = 5;
    uintptr_t w = CreateHostWindow(RecordingProc, &r);
    r.self = w;
    PostHostMessage(w, 5, 0, 0);
    PostHostMessage(w, 6, 0, 0);
    SendHostMessage(w, 7, 0, 0);
    EXPECT_EQ(r.Messages(), (std::vector<uint32_t>{5, 999, 6, 7}));
    EXPECT_TRUE(DestroyHostWindow(w));
}

TEST(HostWindow, DestroyFromInsideTheProcedureDoesNotDeadlock) {
    Recorder r;
    r.destroyInsideOn = 1;
    uintptr_t w = CreateHostWindow(RecordingProc, &r);
    r.self = w;
    PostHostMessage(w, 1, 0, 0);
    PostHostMessage(w, 2, 0, 0);
    EXPECT_TRUE(Eventually([&] { return r.destroyInsideResult.load(); }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(r.Messages(), std::vector<uint32_t>{1});
    EXPECT_FALSE(DestroyHostWindow(w));
}

TEST(HostWindow, ManyThreadsPostingKeepEachThreadsOrder) {
    Recorder r;
    uintptr_t w = CreateHostWindow(RecordingProc, &r);
    constexpr uint32_t kThreads = 4, kEach = 250;
    std::vector<std::thread> posters;
    for (uint32_t t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (uint32_t i = 0; i < kEach; ++i) {
                PostHostMessage(w, (t + 1) * 10000 + i, 0, 0);  // 0 is the gate
            }
        });
    }
    for (auto& p : posters) {
        p.join();
    }
    SendHostMessage(w, 1u << 30, 0, 0);
    auto got = r.Messages();
    ASSERT_EQ(got.size(), kThreads * kEach + 1);
    std::vector<uint32_t> next(kThreads, 0);
    for (size_t i = 0; i + 1 < got.size(); ++i) {
        uint32_t t = got[i] / 10000 - 1;
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(got[i] % 10000, next[t]++);
    }
    EXPECT_TRUE(DestroyHostWindow(w));
}

// The queue reuses its slots and their text buffers: texts of every length,
// through growth of the queue and through slots reused many times over,
// arrive intact and in order, and a message that finds the delivery thread
// lingering after a burst still comes at once.
TEST(HostWindow, TextsStayIntactThroughReusedQueueSlots) {
    Recorder r;
    r.blockOn = 1;
    uintptr_t w = CreateHostWindow(RecordingProc, &r);
    auto textOf = [](uint32_t round, uint32_t i) {
        // Lengths 0 to 300 in an order that makes a slot's next text
        // sometimes longer, sometimes shorter than its last one.
        return std::u16string((i * 37 + round * 11) % 301, char16_t(u'a' + (i + round) % 26));
    };
    std::vector<std::u16string> expected;
    for (uint32_t round = 0; round < 3; ++round) {
        PostHostMessage(w, 1, 0, 0);  // holds the procedure: the queue fills
        ASSERT_TRUE(r.entered.Wait(2000));
        for (uint32_t i = 0; i < 700; ++i) {
            std::u16string text = textOf(round, i);
            PostHostText(w, 2, 7, text);
            expected.push_back(text);
            if (i % 3 == 0) PostHostMessage(w, 3, 0, 0);
        }
        r.entered.Reset();
        r.gate.Set();
        SendHostMessage(w, 4, 0, 0);
        r.gate.Reset();
    }
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        ASSERT_EQ(r.texts.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(r.texts[i], expected[i]) << "text " << i;
    }
    const size_t before = r.Messages().size();
    PostHostText(w, 5, 7, u"late");
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(Eventually([&] { return r.Messages().size() == before + 1; }));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 100ms);
    EXPECT_TRUE(DestroyHostWindow(w));
}

}  // namespace
}  // namespace tivlo::platform
