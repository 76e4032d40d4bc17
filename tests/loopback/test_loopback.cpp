// The library's sender and receiver on loopback (interface 127.0.0.1): transfers that lose data blocks on
// arrival at the receiver, whose repair phase must bring every file back byte-exact, and receivers whose
// target holds what a user planted there. As root each transfer case runs in a network namespace of its
// own: its ports (28000 is fixed) meet no one's.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "protocol/host_sink.h"
#include "protocol/wire.h"
#include "receiver/client_engine.h"
#include "tivlo/tivlo.h"

namespace {

namespace fs = std::filesystem;
using namespace tivlo;
using Bytes = std::vector<uint8_t>;
using Ends = std::vector<std::pair<uintptr_t, intptr_t>>;

// A host window that keeps what every "transfer ended" message carried; it
// also hears a receiver engine run without the exports.
struct Host : protocol::HostSink {
    std::mutex mutex;
    Ends ended;
    TivloWindow window = TivloCreateWindow(&Host::Proc, this);
    ~Host() { TivloDestroyWindow(window); }
    std::pair<uint32_t, uint32_t> started;  // the last 1039
    std::atomic<uint32_t> names{0};         // 1042s
    static void Proc(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam) {
        auto* self = static_cast<Host*>(context);
        if (message == TIVLO_MSG_TRANSFER_ENDED) self->Ended(uint32_t(wParam), lParam, false);
        if (message == TIVLO_MSG_TRANSFER_STARTED) self->Started(uint32_t(wParam), uint32_t(lParam));
        if (message == TIVLO_MSG_CURRENT_FILE) ++self->names;
    }
    void Ended(uint32_t code, intptr_t lParam, bool) override {
        std::lock_guard<std::mutex> lock(mutex);
        ended.emplace_back(code, lParam);
    }
    void Started(uint32_t count, uint32_t blocks) override { started = {count, blocks}; }
    void CurrentFile(const std::u16string&) override { ++names; }
    void ClientDiskFull(uint32_t) override {}
    // What ended until the first message that matches (20 s of real time at
    // most); -1 matches any code.
    Ends WaitForTheEnd(intptr_t code = -1, intptr_t lParam = -1) {
        for (int i = 0; i < 4000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
            std::lock_guard<std::mutex> lock(mutex);
            for (const auto& [c, l] : ended)
                if ((code < 0 || intptr_t(c) == code) && (lParam < 0 || l == lParam)) return ended;
        }
        return {};
    }
    int Count(uint32_t code) {
        std::lock_guard<std::mutex> lock(mutex);
        return int(std::count_if(ended.begin(), ended.end(), [&](const auto& e) { return e.first == code; }));
    }
};

struct Loss { const char* name; uint16_t port; std::function<bool(uint32_t file, uint32_t block)> drop; };

class LoopbackTransfer : public ::testing::TestWithParam<Loss> {
protected:
    void SetUp() override {
        if (::geteuid() == 0 && ::unshare(CLONE_NEWNET) == 0) {
            ASSERT_EQ(std::system("ip link set lo up"), 0);
        }
        platform::SetTimeScale(0.05);
        platform::SetFixedDiskOverride([](const std::u16string&) { return true; });
    }
    void TearDown() override {
        DeInitServer();
        client.CloseAll();
        platform::SetFixedDiskOverride(nullptr);
        fs::remove_all(dir);
    }
    const fs::path dir = fs::temp_directory_path() / ("tivlo-loopback-" + std::to_string(std::random_device()()));
    std::shared_ptr<Host> receiverHost = std::make_shared<Host>();
    Host senderHost;
    // The receiver's engine itself, to lose blocks on arrival.
    receiver::ClientEngine client;
};

TEST_P(LoopbackTransfer, LostBlocksAreRepaired) {
    std::vector<std::pair<std::string, Bytes>> files = {{"sample/big.bin", Bytes(60 * protocol::kBlockSize + 321)},
        {"sample/sub/mid.bin", Bytes(9 * protocol::kBlockSize)}, {"sample/sub/small.txt", Bytes(77)},
        {"sample/zero.bin", Bytes()}, {"sample/sub/deep/tail.bin", Bytes(25 * protocol::kBlockSize + 1)}};
    std::mt19937 random(1);
    for (auto& [name, content] : files) {
        for (auto& byte : content) byte = uint8_t(random());
        fs::create_directories((dir / "src" / name).parent_path());
        std::ofstream(dir / "src" / name, std::ios::binary).write((const char*)content.data(), content.size());
    }
    fs::create_directories(dir / "src/sample/hollow");
    const uint32_t loopback = platform::ParseIPv4("127.0.0.1"), group = platform::ParseIPv4("239.77.6.1");
    std::atomic<uint32_t> dropped{0};
    client.SetHost(receiverHost);
    client.groupAddress = group;
    client.dataPort = GetParam().port;
    ASSERT_EQ(client.Initialize(loopback), 1);
    client.SetInboundFilter([&](const uint8_t* d, size_t n) {
        return n >= protocol::kBlockHeadSize && d[2] == protocol::kDataBlock &&
               GetParam().drop(protocol::GetU32(d + protocol::block::kFile),
                               protocol::GetU32(d + protocol::block::kIndex)) && ++dropped;
    });
    client.StartThreads();
    ASSERT_EQ(InitServer(senderHost.window, group, GetParam().port, loopback), 1);
    const std::u16string target = (dir / "target").u16string(), selected = (dir / "src/sample").u16string();
    const char16_t* items[] = {selected.c_str()};
    TivloStringArray selection{1, items};
    ASSERT_TRUE(SetTargetPath(TIVLO_TARGET_MODE_PATH, target.c_str()) == 1 && SetSubDirTrans(1) == 1);
    ASSERT_TRUE(SetSelectFiles(&selection) == 1 && StartSend() == 1);
    EXPECT_EQ(receiverHost->WaitForTheEnd(), (Ends{{TIVLO_CODE_OK, 1}}));  // complete
    EXPECT_EQ(senderHost.WaitForTheEnd(), (Ends{{TIVLO_CODE_OK, 0}}));
    // 1039 with the receivers and the files, and a 1042 for every block sent (repairs too).
    const uint32_t blocks = 61 + 10 + 1 + 1 + 26;
    EXPECT_TRUE(senderHost.started == std::make_pair(1u, blocks) && receiverHost->started == std::make_pair(5u, blocks));
    EXPECT_TRUE(senderHost.names >= blocks + dropped && receiverHost->names >= 5u) << senderHost.names;
    uint32_t errors[401] = {1};
    EXPECT_TRUE(dropped > 5 && GetErrInfo(errors) == 0 && errors[0] == 0);
    for (const auto& [name, content] : files) {
        std::ifstream in(dir / "target" / name, std::ios::binary);
        EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), content) << name;
    }
    EXPECT_TRUE(fs::is_directory(dir / "target/sample/hollow"));
}

// A disk that stalls for a moment on every write (at the real pace of the
// stream, two blocks close together) must not cost repairs: a block that
// finds the only buffer taken waits for it.
TEST_F(LoopbackTransfer, AShortStallOfTheDiskLosesNoBlock) {
    platform::SetTimeScale(1.0);
    Bytes content(40 * protocol::kBlockSize + 5);
    std::mt19937 random(2);
    for (auto& byte : content) byte = uint8_t(random());
    fs::create_directories(dir / "src");
    std::ofstream(dir / "src/stalled.bin", std::ios::binary).write((const char*)content.data(), content.size());
    const uint32_t loopback = platform::ParseIPv4("127.0.0.1"), group = platform::ParseIPv4("239.77.6.2");
    client.SetHost(receiverHost);
    client.groupAddress = group;
    client.dataPort = 51221;
    client.blockPoolCapacity = 1;
    client.beforeWriteHook = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
    ASSERT_EQ(client.Initialize(loopback), 1);
    client.StartThreads();
    ASSERT_EQ(InitServer(senderHost.window, group, 51221, loopback), 1);
    const std::u16string target = (dir / "target").u16string(), selected = (dir / "src/stalled.bin").u16string();
    const char16_t* items[] = {selected.c_str()};
    TivloStringArray selection{1, items};
    ASSERT_TRUE(SetTargetPath(TIVLO_TARGET_MODE_PATH, target.c_str()) == 1 && SetSelectFiles(&selection) == 1);
    ASSERT_EQ(StartSend(), 1);
    EXPECT_EQ(receiverHost->WaitForTheEnd(), (Ends{{TIVLO_CODE_OK, 1}}));
    EXPECT_EQ(senderHost.WaitForTheEnd(), (Ends{{TIVLO_CODE_OK, 0}}));
    EXPECT_EQ(client.poolOverflows.load(), 0u);
    std::ifstream in(dir / "target/stalled.bin", std::ios::binary);
    EXPECT_TRUE(Bytes(std::istreambuf_iterator<char>(in), {}) == content);
}

// Lost blocks at every kind of place (the first, inside a file, a file's
// last, whole files), or a random share of them.
const std::set<std::pair<uint32_t, uint32_t>> kChosen{{1, 0}, {1, 7}, {1, 8}, {1, 60}};
std::mt19937 g_random(20240607);
INSTANTIATE_TEST_SUITE_P(Loopback, LoopbackTransfer,
    ::testing::Values(Loss{"AChosenSet", 51201, [](uint32_t file, uint32_t block) {
                          return kChosen.contains({file, block}) || file == 3 || (file == 4 && block < 2); }},
                      Loss{"ARandomShare", 51211, [](uint32_t, uint32_t) { return g_random() % 100 < 15; }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Attacks on a receiver's target.

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
    for (auto [name, text] : {std::pair<const char*, std::string>{"big.bin", big}, {"plain.txt", "plain"},
                              {"key", "attacker's key"}, {"pipe", "blocked?"}, {"deep/x.txt", "through a link"}})
        Write(dir / "src" / "set" / name, text);
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
    Host senderHost, receiverHost;
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
    EXPECT_FALSE(senderHost.WaitForTheEnd(-1, 0).empty());
    EXPECT_FALSE(receiverHost.WaitForTheEnd(TIVLO_CODE_INCOMPLETE, 0).empty());
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
    EXPECT_GE(receiverHost.Count(TIVLO_CODE_CREATE_FAILED), 3);
    struct stat st;
    if (root && stat((target / "plain.txt").c_str(), &st) == 0) {
        EXPECT_EQ(st.st_uid, 65534u) << "made as the owner";
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}


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
    Host receiverHost;
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
