// The library's sender and receiver on loopback (interface 127.0.0.1): transfers that lose data blocks on
// arrival at the receiver, whose repair phase must bring every file back byte-exact, and receivers whose
// target holds what a user planted there. As root each case runs in a network namespace of its own: its
// ports (28000 is fixed) meet no one's.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <atomic>
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
#include "receiver/client_write.h"
#include "tivlo/tivlo.h"

namespace {

namespace fs = std::filesystem;
using namespace tivlo;
using Ends = std::vector<std::pair<uintptr_t, intptr_t>>;
constexpr uint32_t kLoopback = protocol::IPv4(127, 0, 0, 1);

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
    void Started(uint32_t count, uint32_t blocks) override {
        std::lock_guard<std::mutex> lock(mutex);
        started = {count, blocks};
    }
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
};

std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
void Write(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}
std::string Random(size_t length) {  // a misplaced or missing block shows in the copy
    static std::mt19937 random(1);
    std::string text(length, 0);
    for (auto& c : text) c = char(random());
    return text;
}

// Whether `done` holds within about `ms` milliseconds of real time.
template <typename Done>
bool Eventually(Done done, int ms = 2000) {
    for (int i = 0; i < ms / 5 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
}

struct Loss { const char* name; uint16_t port; std::function<bool(uint32_t file, uint32_t block)> drop; };

class LoopbackTransfer : public ::testing::TestWithParam<Loss> {
protected:
    void SetUp() override {
        if (::geteuid() == 0 && ::unshare(CLONE_NEWNET) == 0) {
            ASSERT_EQ(std::system("ip link set lo up"), 0);
        }
        platform::SetTimeScale(0.05);
        platform::SetFixedDiskOverride([](const std::u16string&) { return true; });
        openFiles = OpenFiles();
    }
    void TearDown() override {
        DeInitServer();
        client.CloseAll();
        EXPECT_EQ(OpenFiles(), openFiles) << "a socket, file or folder left open";
        platform::SetFixedDiskOverride(nullptr);
        platform::SetFreeSpaceOverride(nullptr);
        fs::remove_all(dir);
    }
    // The receiver's engine itself (it can lose blocks on arrival) on 239.77.6.group.
    bool Receive(uint8_t group, uint16_t port) {
        client.SetHost(receiverHost);
        client.groupAddress = protocol::IPv4(239, 77, 6, group);
        client.dataPort = port;
        if (client.Initialize(kLoopback) != 1) return false;
        client.StartThreads();
        return true;
    }
    // The sender sends `selected` (its subdirectories too or not) to dir/target.
    bool Send(TivloWindow window, uint8_t group, uint16_t port, const fs::path& selected, bool subdirs) {
        const std::u16string from = selected.u16string(), to = (dir / "target").u16string();
        const char16_t* items[] = {from.c_str()};
        TivloStringArray selection{1, items};
        return InitServer(window, protocol::IPv4(239, 77, 6, group), port, kLoopback) == 1 &&
               SetTargetPath(TIVLO_TARGET_MODE_PATH, to.c_str()) == 1 && SetSubDirTrans(subdirs) == 1 &&
               SetSelectFiles(&selection) == 1 && StartSend() == 1;
    }
    static size_t OpenFiles() {
        return size_t(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
    }
    size_t openFiles = 0;
    const fs::path dir = fs::temp_directory_path() / ("tivlo-loopback-" + std::to_string(std::random_device()()));
    std::shared_ptr<Host> receiverHost = std::make_shared<Host>();
    Host senderHost;
    receiver::ClientEngine client;
};

TEST_P(LoopbackTransfer, LostBlocksAreRepaired) {
    const std::pair<std::string, std::string> files[] = {{"big.bin", Random(60 * protocol::kBlockSize + 321)},
        {"sub/mid.bin", Random(9 * protocol::kBlockSize)}, {"sub/small.txt", Random(77)}, {"zero.bin", ""},
        {"sub/deep/tail.bin", Random(25 * protocol::kBlockSize + 1)}};
    for (const auto& [name, content] : files) Write(dir / "src/sample" / name, content);
    fs::create_directories(dir / "src/sample/hollow");
    std::atomic<uint32_t> dropped{0};
    client.SetInboundFilter([&](const uint8_t* d, size_t n) {
        return n >= protocol::kBlockHeadSize && d[2] == protocol::kDataBlock &&
               GetParam().drop(protocol::GetU32(d + protocol::block::kFile),
                               protocol::GetU32(d + protocol::block::kIndex)) && ++dropped;
    });
    ASSERT_TRUE(Receive(1, GetParam().port));
    ASSERT_TRUE(Send(senderHost.window, 1, GetParam().port, dir / "src/sample", true));
    EXPECT_EQ(receiverHost->WaitForTheEnd(), (Ends{{TIVLO_CODE_OK, 1}}));  // complete
    EXPECT_EQ(senderHost.WaitForTheEnd(), (Ends{{TIVLO_CODE_OK, 0}}));
    // 1039 with the receivers and the files, and a 1042 for every block sent (repairs too).
    const uint32_t blocks = 61 + 10 + 1 + 1 + 26;
    EXPECT_TRUE(senderHost.started == std::make_pair(1u, blocks) && receiverHost->started == std::make_pair(5u, blocks));
    EXPECT_TRUE(senderHost.names >= blocks + dropped && receiverHost->names >= 5u) << senderHost.names;
    uint32_t errors[401] = {1};
    EXPECT_TRUE(dropped > 5 && GetErrInfo(errors) == 0 && errors[0] == 0);
    for (const auto& [name, content] : files) EXPECT_TRUE(Read(dir / "target/sample" / name) == content) << name;
    EXPECT_TRUE(fs::is_directory(dir / "target/sample/hollow"));
}

// A disk that stalls for a moment on every write (at the real pace of the
// stream, two blocks close together) must not cost repairs: a block that
// finds the only buffer taken waits for it.
TEST_F(LoopbackTransfer, AShortStallOfTheDiskLosesNoBlock) {
    platform::SetTimeScale(1.0);
    const std::string content = Random(40 * protocol::kBlockSize + 5);
    Write(dir / "src/stalled.bin", content);
    client.blockPoolCapacity = 1;
    client.beforeWriteHook = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
    ASSERT_TRUE(Receive(2, 51221));
    ASSERT_TRUE(Send(senderHost.window, 2, 51221, dir / "src/stalled.bin", false));
    EXPECT_EQ(receiverHost->WaitForTheEnd(), (Ends{{TIVLO_CODE_OK, 1}}));
    EXPECT_EQ(senderHost.WaitForTheEnd(), (Ends{{TIVLO_CODE_OK, 0}}));
    EXPECT_EQ(client.poolOverflows.load(), 0u);
    EXPECT_TRUE(Read(dir / "target/stalled.bin") == content);
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
// Attacks on a receiver's target (that receiver runs through the exports), and a host that misuses the sender.

TEST_F(LoopbackTransfer, NothingIsWrittenThroughWhatAUserPlantedBelowTheRoot) {
    const fs::path out = dir / "outside", target = dir / "target" / "set";
    const std::string big(30000, 'b');
    for (auto [name, text] : {std::pair<const char*, std::string>{"src/set/big.bin", big},
             {"src/set/plain.txt", "plain"}, {"src/set/key", "attacker's key"}, {"src/set/pipe", "blocked?"},
             {"src/set/deep/x.txt", "through a link"}, {"outside/authorized_keys", "the real key"},
             {"outside/hard.bin", "kept"}, {"src/set/locked.txt", "new"}, {"target/set/locked.txt", "old"}})
        Write(dir / name, text);
    for (const fs::path& p : {dir / "src/set/hollow/in", out / "dir", target}) fs::create_directories(p);
    // A link to a directory outside, a link to a file outside, a hard link
    // to a file outside, a FIFO, a link in an empty directory's path, and a
    // file its owner made read-only.
    fs::create_directory_symlink(out / "dir", target / "deep");
    fs::create_symlink(out / "authorized_keys", target / "key");
    fs::create_hard_link(out / "hard.bin", target / "big.bin");
    ASSERT_EQ(mkfifo((target / "pipe").c_str(), 0600), 0);
    fs::permissions(target / "locked.txt", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::create_directory_symlink(out / "dir", target / "hollow");
    const bool root = geteuid() == 0;
    // The folder and what was planted in it belong to an ordinary user.
    if (root) {
        for (const fs::path& p :
             {dir / "target", target, target / "deep", target / "key", target / "pipe", target / "hollow", target / "locked.txt"})
            ASSERT_EQ(lchown(p.c_str(), 65534, 65534), 0) << p;
    }
    ASSERT_EQ(InitClient(receiverHost->window, protocol::IPv4(239, 77, 6, 9), 45930, kLoopback), 1);
    StartReceive();
    ASSERT_TRUE(Send(senderHost.window, 9, 45930, dir / "src" / "set", true));
    EXPECT_FALSE(senderHost.WaitForTheEnd(-1, 0).empty());
    // Refusals, then the end as incomplete (none when it never came).
    const Ends ended = receiverHost->WaitForTheEnd(TIVLO_CODE_INCOMPLETE, 0);
    EXPECT_GE(std::ranges::count(ended, uintptr_t(TIVLO_CODE_CREATE_FAILED), &Ends::value_type::first), 4);
    const auto started = std::chrono::steady_clock::now();
    DeInitClient();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    uint32_t errors[401] = {};
    EXPECT_EQ(GetErrInfo(errors), 1) << "the receiver is named: it gave up";

    // The big file is written beside the hard link, then renamed over it.
    for (const auto& [path, text] : {std::pair<fs::path, std::string>{out / "authorized_keys", "the real key"},
             {out / "hard.bin", "kept"}, {target / "big.bin", big}, {target / "plain.txt", "plain"},
             {target / "locked.txt", "old"}})
        EXPECT_TRUE(Read(path) == text) << path;
    EXPECT_TRUE(fs::is_empty(out / "dir"));
    EXPECT_TRUE(fs::is_symlink(target / "key"));
    EXPECT_TRUE(fs::is_fifo(target / "pipe"));
    struct stat st;
    if (root && stat((target / "plain.txt").c_str(), &st) == 0) {
        EXPECT_EQ(st.st_uid, 65534u) << "made as the owner";
    }
}

// StartSend returns once the Task went out and its 1039 was posted: a Stop
// right after it follows the announced task.
TEST_F(LoopbackTransfer, AStopRightAfterTheStartFollowsTheAnnouncedTask) {
    Write(dir / "one.txt", "one");
    ASSERT_TRUE(Receive(12, 45960));
    ASSERT_TRUE(Send(senderHost.window, 12, 45960, dir / "one.txt", false));
    StopSend();
    EXPECT_FALSE(senderHost.WaitForTheEnd(0, 0).empty());
    EXPECT_FALSE(receiverHost->WaitForTheEnd(0, 0).empty());
    std::lock_guard<std::mutex> a(senderHost.mutex), b(receiverHost->mutex);
    EXPECT_EQ(senderHost.started.second, 1u);
    EXPECT_EQ(receiverHost->started.second, 1u) << "the receiver heard of the task";
}

// A task that a new one replaced writes nothing more: not the blocks the
// writer still held, not a file beside an old one over it.
TEST_F(LoopbackTransfer, AReplacedTaskWritesNothingMore) {
    Write(dir / "old/f", "the old content");
    fs::create_hard_link(dir / "old/f", dir / "old/g");  // so f is written beside, then renamed
    receiver::Writer writer;
    writer.Allocate(64);
    std::atomic<int> taken{0};
    std::thread thread([&] { writer.Run([&] { ++taken; }); });
    const std::u16string name = u"/f";
    const std::string data(protocol::kBlockSize, 'x');
    writer.BeginTask(1);
    writer.OpenRoot(1, (dir / "old").u16string());
    for (uint32_t b = 0; b < 4; ++b)
        ASSERT_TRUE(writer.Write({1, 1, b, 9, 10, true, &name, reinterpret_cast<const uint8_t*>(data.data()),
                                  uint32_t(data.size())}, 100));
    Eventually([&] { return taken == 4; });
    writer.BeginTask(2);
    writer.OpenRoot(2, (dir / "new").u16string());
    writer.Drain(7);
    receiver::WriteResult result;
    Eventually([&] { return writer.TakeResult(&result) && result.kind == receiver::WriteResult::Drained; });
    writer.Stop();
    thread.join();
    EXPECT_EQ(Read(dir / "old/f"), "the old content");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "old"), {}), 2) << "a file left beside";
}

TEST_F(LoopbackTransfer, AWriteThatFailsIsToldAndNamed) {
    // Files of this process may grow to 8 KiB: the receiver's write of the
    // second file fails as on a full disk.
    Write(dir / "src/sample/a.txt", Random(77));
    Write(dir / "src/sample/b.bin", Random(7 * protocol::kBlockSize));
    struct Limit {  // restored whatever happens
        rlimit old{};
        void (*oldSignal)(int) = std::signal(SIGXFSZ, SIG_IGN);
        bool set = false;
        Limit() {
            if (::getrlimit(RLIMIT_FSIZE, &old) != 0) return;
            rlimit small = old;
            small.rlim_cur = 8192;
            set = ::setrlimit(RLIMIT_FSIZE, &small) == 0;
        }
        ~Limit() {
            if (set) ::setrlimit(RLIMIT_FSIZE, &old);
            std::signal(SIGXFSZ, oldSignal);
        }
    } limit;
    ASSERT_TRUE(limit.set);
    ASSERT_TRUE(Receive(15, 45980));
    ASSERT_TRUE(Send(senderHost.window, 15, 45980, dir / "src/sample", true));
    const Ends told = receiverHost->WaitForTheEnd(-1, 0);
    senderHost.WaitForTheEnd();
    EXPECT_TRUE(std::ranges::count(told, Ends::value_type{TIVLO_CODE_DISK_FULL, 0}) == 1 &&
                std::ranges::count(told, Ends::value_type{TIVLO_CODE_OK, 1}) == 0);
    uint32_t errors[401] = {};
    EXPECT_TRUE(GetErrInfo(errors) == 1 && errors[0] == 1 && errors[2] != 0) << errors[0] << " " << errors[2];
    EXPECT_EQ(Read(dir / "target/sample/a.txt").size(), 77u);
}

TEST_F(LoopbackTransfer, TearDownsWaitTheirTimeAndReleaseTheirPorts) {
    ASSERT_EQ(InitClient(receiverHost->window, protocol::IPv4(239, 77, 6, 13), 45970, kLoopback), 1);
    const auto started = std::chrono::steady_clock::now();
    DeInitClient();  // before StartReceive no thread ends the wait early: its full time
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(5000 / 20));  // at scale 0.05
    ASSERT_EQ(InitServer(senderHost.window, protocol::IPv4(239, 77, 6, 14), 45960, kLoopback), 1);
    DeInitServer();
    // A receiver that cannot join its group (no group address) gives its port back at once.
    EXPECT_EQ(InitClient(receiverHost->window, protocol::IPv4(10, 77, 6, 15), 45980, kLoopback), 0);
    // A socket bound without sharing finds each port free again.
    for (uint16_t port : {45970, 45962, 45980}) {
        platform::UdpSocket s;
        EXPECT_TRUE(s.Open() && s.Bind(0, port)) << "port " << port;
    }
}

// A host that tears the sender down from its own handler of 1054, while the
// library waits for that handler: DeInitServer must not wait for it in turn.
std::atomic<int> g_deinitReturned{0};
void TearDownOnDiskFull(void*, uint32_t message, uintptr_t, intptr_t) {
    if (message != TIVLO_MSG_CLIENT_DISKFULL) return;
    DeInitServer();
    g_deinitReturned = 1;
}

TEST_F(LoopbackTransfer, AHostMayDeInitFromItsOwnHandler) {
    const TivloWindow senderWindow = TivloCreateWindow(&TearDownOnDiskFull, nullptr);
    platform::SetFreeSpaceOverride([](const std::u16string&, uint64_t* bytes) {
        *bytes = 0;  // the receiver gives up
        return true;
    });
    ASSERT_TRUE(Receive(10, 45940));
    ASSERT_TRUE(Send(senderWindow, 10, 45940, "/proc/self/comm", false));
    EXPECT_TRUE(Eventually([] { return g_deinitReturned == 1; }, 3000)) << "DeInitServer waited for the handler that called it";
    TivloDestroyWindow(senderWindow);
}

// While the host handles a 1054 the sender stands still: a Join that comes
// meanwhile is taken only after the handler returned. A handler may stop the
// transfer.
std::atomic<int> g_inHandler{0}, g_stopped{0};
void SlowDiskFullHandler(void*, uint32_t message, uintptr_t, intptr_t) {
    if (message != TIVLO_MSG_CLIENT_DISKFULL) return;
    if (g_inHandler == 2) {
        StopSend();
        g_stopped = 1;
        return;
    }
    g_inHandler = 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    g_inHandler = 2;
}

TEST_F(LoopbackTransfer, TheSenderWaitsForTheHostsHandlerOf1054) {
    const TivloWindow window = TivloCreateWindow(&SlowDiskFullHandler, nullptr);
    const uint16_t port = 45950;
    ASSERT_EQ(InitServer(window, protocol::IPv4(239, 77, 6, 11), port, kLoopback), 1);
    auto sendFrom = [&](uint8_t host, std::vector<uint8_t> packet) {  // from 127.0.0.host
        platform::UdpSocket s;
        ASSERT_TRUE(s.Open() && s.Bind(protocol::IPv4(127, 0, 0, host), 0) &&
                    s.SendTo(packet.data(), packet.size(), {kLoopback, uint16_t(port + 2)}));
    };
    const std::vector<uint8_t> join{0x91, 0x02, protocol::kJoin, 1}, giveUp{0x91, 0x02, protocol::kFinish, 1};
    sendFrom(2, join);
    sendFrom(3, join);
    Eventually([] { return TivloGetReceivers(nullptr, 0) == 2; });
    sendFrom(2, giveUp);
    ASSERT_TRUE(Eventually([] { return g_inHandler == 1; }));
    sendFrom(4, join);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(g_inHandler, 1);
    EXPECT_EQ(TivloGetReceivers(nullptr, 0), 2u) << "a Join was taken while the host handled 1054";
    Eventually([] { return TivloGetReceivers(nullptr, 0) == 3; });
    EXPECT_EQ(g_inHandler, 2);
    EXPECT_EQ(TivloGetReceivers(nullptr, 0), 3u);
    sendFrom(3, giveUp);
    EXPECT_TRUE(Eventually([] { return g_stopped == 1; }, 3000)) << "StopSend from the handler of 1054 did not return";
    DeInitServer();
    TivloDestroyWindow(window);
}

}  // namespace
