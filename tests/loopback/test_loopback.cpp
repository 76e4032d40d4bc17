// The library's sender and receiver, each through its exports, on loopback
// (interface 127.0.0.1). Data blocks are dropped on arrival at the
// receiver's socket; the repair phase must bring every file back byte-exact.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api/engines.h"
#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "protocol/wire.h"
#include "support/test_host.h"
#include "tivlo/tivlo.h"

namespace {

namespace fs = std::filesystem;
using Host = tivlo::testing::TestHost;
using tivlo::testing::RandomContent;
using Bytes = std::vector<uint8_t>;
using namespace tivlo;

const uint32_t kLoopback = platform::ParseIPv4("127.0.0.1");
const uint32_t kGroup = platform::ParseIPv4("239.77.6.1");



void WriteFile(const fs::path& path, const Bytes& content) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
}

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class LoopbackTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetTimeScale(0.05);
        char pattern[] = "/tmp/tivlo-loopback-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        platform::SetFixedDiskOverride([](const std::u16string&) { return true; });
    }
    void TearDown() override {
        api::TheClient().SetInboundFilter(nullptr);
        DeInitServer();
        DeInitClient();
        platform::SetFixedDiskOverride(nullptr);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // The selection: a folder with files of several sizes, a sub-folder
    // and an empty directory.
    void MakeSelection() {
        files = {
            {"sample/big.bin", RandomContent(60 * protocol::kBlockSize + 321, 1)},
            {"sample/sub/mid.bin", RandomContent(9 * protocol::kBlockSize, 2)},
            {"sample/sub/small.txt", RandomContent(77, 3)},
            {"sample/zero.bin", Bytes()},
            {"sample/sub/deep/tail.bin", RandomContent(25 * protocol::kBlockSize + 1, 4)},
        };
        for (auto& [name, content] : files) WriteFile(dir / "src" / name, content);
        fs::create_directories(dir / "src" / "sample" / "hollow");
    }

    // Runs a whole transfer with the given loss rule on Data blocks.
    void Transfer(std::function<bool(uint32_t file, uint32_t block)> drop, uint16_t port) {
        std::atomic<uint32_t> dropped{0};
        ASSERT_EQ(InitClient(receiverHost.window, kGroup, port, kLoopback), 1);
        api::TheClient().SetInboundFilter([&, drop](const uint8_t* d, size_t n) {
            if (n < protocol::kBlockHeadSize || d[2] != protocol::kDataBlock) return false;
            if (!drop(protocol::GetU32(d + protocol::block::kFile), protocol::GetU32(d + protocol::block::kIndex)))
                return false;
            dropped.fetch_add(1);
            return true;
        });
        ASSERT_EQ(StartReceive(), 1);
        ASSERT_EQ(InitServer(senderHost.window, kGroup, port, kLoopback), 1);
        const std::u16string target = platform::Utf8ToUtf16((dir / "target").string());
        ASSERT_EQ(SetTargetPath(TIVLO_TARGET_MODE_PATH, target.c_str()), 1);
        ASSERT_EQ(SetSubDirTrans(1), 1);
        const std::u16string selected = platform::Utf8ToUtf16((dir / "src" / "sample").string());
        const char16_t* items[] = {selected.c_str()};
        TivloStringArray selection{1, items};
        ASSERT_EQ(SetSelectFiles(&selection), 1);
        ASSERT_EQ(StartSend(), 1);

        ASSERT_TRUE(receiverHost.WaitFor(TIVLO_MSG_TRANSFER_ENDED, 0, 1, 20000)) << "receiver never completed";
        ASSERT_TRUE(senderHost.WaitFor(TIVLO_MSG_TRANSFER_ENDED, 0, 0, 20000)) << "sender never ended";
        EXPECT_GT(dropped.load(), 0u);
        droppedCount = dropped.load();

        uint32_t errors[401] = {};
        EXPECT_EQ(GetErrInfo(errors), 0);
        EXPECT_EQ(errors[0], 0u);
        for (auto& [name, content] : files) {
            EXPECT_EQ(ReadFile(dir / "target" / name), content) << name;
        }
        EXPECT_TRUE(fs::is_directory(dir / "target" / "sample" / "hollow"));
        EXPECT_EQ(receiverHost.Count(TIVLO_MSG_TRANSFER_ENDED, TIVLO_CODE_INCOMPLETE, 0), 0);
    }

    fs::path dir;
    std::vector<std::pair<std::string, Bytes>> files;
    Host senderHost;
    Host receiverHost;
    uint32_t droppedCount = 0;
};

TEST_F(LoopbackTransfer, AChosenSetOfLostBlocksIsRepaired) {
    MakeSelection();
    // Blocks at every kind of place: the very first block, inside a file,
    // a file's last block, a whole file, and the head of a file after a
    // complete one.
    std::set<std::pair<uint32_t, uint32_t>> lost{{1, 0}, {1, 7}, {1, 8}, {1, 60}};
    Transfer(
        [&](uint32_t file, uint32_t block) {
            if (lost.contains({file, block})) return true;
            return file == 3 || (file == 4 && block < 2);  // the third file entirely
        },
        45910);
}

TEST_F(LoopbackTransfer, ARandomShareOfLostBlocksIsRepaired) {
    MakeSelection();
    auto gen = std::make_shared<std::mt19937>(20240607);
    Transfer([gen](uint32_t, uint32_t) { return (*gen)() % 100 < 15; }, 45920);
    EXPECT_GT(droppedCount, 5u);
}

}  // namespace
