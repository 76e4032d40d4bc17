// A receiver whose target folder a user has prepared against it: links,
// a hard link, a FIFO. Through the library's exports on loopback
// (127.0.0.1): nothing outside the target changes, the legitimate files are
// byte-exact, the refusals are reported, and the receiver tears down at once.
// Run as root, the files are made as the owner of the target folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <filesystem>
#include <fstream>

#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "support/test_host.h"
#include "tivlo/tivlo.h"

namespace {

namespace fs = std::filesystem;
using namespace tivlo;

std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
void Write(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

TEST(Attacks, NothingIsWrittenThroughWhatAUserPlantedBelowTheRoot) {
    char pattern[] = "/tmp/tivlo-attacks-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path dir = pattern, out = dir / "outside", target = dir / "target" / "set";
    const std::string big(30000, 'b');
    Write(dir / "src" / "set" / "big.bin", big);
    Write(dir / "src" / "set" / "plain.txt", "plain");
    Write(dir / "src" / "set" / "key", "attacker's key");
    Write(dir / "src" / "set" / "pipe", "blocked?");
    Write(dir / "src" / "set" / "deep" / "x.txt", "through a link");
    fs::create_directories(dir / "src" / "set" / "hollow" / "in");
    Write(out / "authorized_keys", "the real key");
    Write(out / "hard.bin", "kept");
    fs::create_directories(out / "dir");
    // A link to a directory outside, a link to a file outside, a hard link
    // to a file outside, a FIFO, and a link in an empty directory's path.
    fs::create_directories(target);
    fs::create_directory_symlink(out / "dir", target / "deep");
    fs::create_symlink(out / "authorized_keys", target / "key");
    fs::create_hard_link(out / "hard.bin", target / "big.bin");
    ASSERT_EQ(mkfifo((target / "pipe").c_str(), 0600), 0);
    fs::create_directory_symlink(out / "dir", target / "hollow");
    const bool root = geteuid() == 0;
    // The folder and what was planted in it belong to an ordinary user.
    if (root) {
        for (const fs::path& p : {dir / "target", target, target / "deep", target / "key", target / "pipe", target / "hollow"})
            ASSERT_EQ(lchown(p.c_str(), 65534, 65534), 0) << p;
    }

    const uint32_t lo = platform::ParseIPv4("127.0.0.1"), group = platform::ParseIPv4("239.77.6.9");
    tivlo::testing::TestHost senderHost, receiverHost;
    platform::SetTimeScale(0.05);
    platform::SetFixedDiskOverride([](const std::u16string&) { return true; });
    ASSERT_EQ(InitClient(receiverHost.window, group, 45930, lo), 1);
    StartReceive();
    ASSERT_EQ(InitServer(senderHost.window, group, 45930, lo), 1);
    const std::u16string to = platform::Utf8ToUtf16((dir / "target").string());
    const std::u16string from = platform::Utf8ToUtf16((dir / "src" / "set").string());
    const char16_t* items[] = {from.c_str()};
    TivloStringArray selection{1, items};
    SetTargetPath(TIVLO_TARGET_MODE_PATH, to.c_str());
    SetSubDirTrans(1);
    ASSERT_EQ(SetSelectFiles(&selection), 1);
    StartSend();
    EXPECT_TRUE(senderHost.WaitFor(TIVLO_MSG_TRANSFER_ENDED, -1, 0, 30000));
    EXPECT_TRUE(receiverHost.WaitFor(TIVLO_MSG_TRANSFER_ENDED, TIVLO_CODE_INCOMPLETE, 0, 30000));
    const auto started = std::chrono::steady_clock::now();
    DeInitClient();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    uint32_t errors[401] = {};
    EXPECT_EQ(GetErrInfo(errors), 1) << "the receiver is named: it gave up";
    DeInitServer();
    platform::SetFixedDiskOverride(nullptr);

    EXPECT_EQ(Read(out / "authorized_keys"), "the real key");
    EXPECT_EQ(Read(out / "hard.bin"), "kept");
    EXPECT_TRUE(fs::is_empty(out / "dir"));
    EXPECT_TRUE(Read(target / "big.bin") == big) << "written beside the hard link, then renamed over it";
    EXPECT_EQ(Read(target / "plain.txt"), "plain");
    EXPECT_TRUE(fs::is_symlink(target / "key"));
    EXPECT_TRUE(fs::is_fifo(target / "pipe"));
    EXPECT_GE(receiverHost.Count(TIVLO_MSG_TRANSFER_ENDED, TIVLO_CODE_CREATE_FAILED, 0), 3);
    struct stat st;
    if (root && stat((target / "plain.txt").c_str(), &st) == 0) {
        EXPECT_EQ(st.st_uid, 65534u) << "made as the owner";
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace

namespace {

// A host that tears the sender down from its own handler of 1054, while the
// library waits for that handler: DeInitServer must not wait for it in turn.
std::atomic<int> g_deinitReturned{0};
void TearDownOnDiskFull(void*, uint32_t message, uintptr_t, intptr_t) {
    if (message != TIVLO_MSG_CLIENT_DISKFULL) return;
    DeInitServer();
    g_deinitReturned = 1;
}

TEST(Attacks, AHostMayDeInitFromItsOwnHandler) {
    const uint32_t lo = platform::ParseIPv4("127.0.0.1"), group = platform::ParseIPv4("239.77.6.10");
    tivlo::testing::TestHost receiverHost;
    const TivloWindow senderWindow = TivloCreateWindow(&TearDownOnDiskFull, nullptr);
    platform::SetTimeScale(0.05);
    platform::SetFixedDiskOverride([](const std::u16string&) { return true; });
    platform::SetFreeSpaceOverride([](const std::u16string&, uint64_t* bytes) {
        *bytes = 0;  // the receiver gives up
        return true;
    });
    ASSERT_EQ(InitClient(receiverHost.window, group, 45940, lo), 1);
    StartReceive();
    ASSERT_EQ(InitServer(senderWindow, group, 45940, lo), 1);
    const std::u16string self = platform::Utf8ToUtf16(std::string("/proc/self/comm"));
    const char16_t* items[] = {self.c_str()};
    TivloStringArray selection{1, items};
    SetTargetPath(TIVLO_TARGET_MODE_PATH, u"/tmp");
    SetSelectFiles(&selection);
    StartSend();
    for (int i = 0; i < 300 && !g_deinitReturned; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(g_deinitReturned) << "DeInitServer waited for the handler that called it";
    DeInitClient();
    TivloDestroyWindow(senderWindow);
    platform::SetFreeSpaceOverride(nullptr);
    platform::SetFixedDiskOverride(nullptr);
}

}  // namespace
