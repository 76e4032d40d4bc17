// The debug log: the host's sink, or standard error with TIVLO_DEBUG.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "platform/log.h"

namespace tivlo::platform {
namespace {

struct Lines {
    std::mutex mutex;
    std::vector<std::u16string> lines;
};

void CollectingSink(void* context, const char16_t* line) {
    auto* l = static_cast<Lines*>(context);
    std::lock_guard<std::mutex> lock(l->mutex);
    l->lines.emplace_back(line);
}

class LogSinkTest : public ::testing::Test {
protected:
    void TearDown() override { SetLogSink(nullptr, nullptr); }
};

TEST_F(LogSinkTest, SinkGetsTheExactText) {
    Lines got;
    SetLogSink(CollectingSink, &got);
    Log("\nTivlo-----GetDiskFreeSpace false!\n");
    Log("caf\xC3\xA9 \xF0\x9F\x98\x80");  // UTF-8 in, UTF-16 out
    Log(u"\n@@ tosize  = 5, DiskSize = 4 \n");
    Logf("\n@@ tosize  = %lu, DiskSize = %lu \n", 4254ul, 0ul);
    Log("");
    ASSERT_EQ(got.lines.size(), 5u);
    EXPECT_EQ(got.lines[0], u"\nTivlo-----GetDiskFreeSpace false!\n");
    EXPECT_EQ(got.lines[1], u"caf\u00e9 \U0001F600");
    EXPECT_EQ(got.lines[2], u"\n@@ tosize  = 5, DiskSize = 4 \n");
    EXPECT_EQ(got.lines[3], u"\n@@ tosize  = 4254, DiskSize = 0 \n");
    EXPECT_EQ(got.lines[4], u"");
}

TEST_F(LogSinkTest, ReplacedSinkIsNeverCalledAgain) {
    Lines first, second;
    SetLogSink(CollectingSink, &first);
    std::atomic<bool> stop{false};
    std::thread logger([&] {
        while (!stop) {
            Log("line");
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    SetLogSink(CollectingSink, &second);
    size_t firstCount;
    {
        std::lock_guard<std::mutex> lock(first.mutex);
        firstCount = first.lines.size();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop = true;
    logger.join();
    std::lock_guard<std::mutex> lock(first.mutex);
    EXPECT_GT(firstCount, 0u);
    EXPECT_EQ(first.lines.size(), firstCount);  // nothing after the switch
    EXPECT_GT(second.lines.size(), 0u);
}

void ReentrantSink(void* context, const char16_t* line) {
    auto* l = static_cast<Lines*>(context);
    {
        std::lock_guard<std::mutex> lock(l->mutex);
        l->lines.emplace_back(line);
    }
    if (std::u16string(line) == u"outer") {
        Log("inner");
    }
}

TEST_F(LogSinkTest, SinkMayLogItself) {
    Lines got;
    SetLogSink(ReentrantSink, &got);
    Log("outer");
    ASSERT_EQ(got.lines.size(), 2u);
    EXPECT_EQ(got.lines[1], u"inner");
}

TEST(LogStderr, OnlyWithTivloDebug) {
    auto quiet = tivlo::test::RunChildCase("LogChild.*", {{"TIVLO_DEBUG", ""}});
    EXPECT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(quiet.standardError, "child ran\n");

    auto loud = tivlo::test::RunChildCase("LogChild.*", {{"TIVLO_DEBUG", "1"}});
    EXPECT_EQ(loud.exitCode, 0);
    EXPECT_EQ(loud.standardError,
              "child ran\n"
              "caf\xC3\xA9\n"
              "\nTivlo-----No free space to write file!\n"
              "n=42\n"
              "\xE2\x82\xAC\n");
}

TEST(LogChild, WriteLines) {
    if (!tivlo::test::InChildCase()) {
        GTEST_SKIP() << "runs in a child process";
    }
    std::fputs("child ran\n", stderr);
    Log("caf\xC3\xA9");
    Log("\nTivlo-----No free space to write file!\n");
    Logf("n=%d", 42);
    Log(u"\u20ac");
    // With a sink, standard error stays quiet even with TIVLO_DEBUG.
    Lines got;
    SetLogSink(CollectingSink, &got);
    Log("to the sink");
    SetLogSink(nullptr, nullptr);
    EXPECT_EQ(got.lines.size(), 1u);
}

}  // namespace
}  // namespace tivlo::platform
