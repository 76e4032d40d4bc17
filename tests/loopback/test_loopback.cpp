// The library's sender and receiver through their exports on loopback (interface 127.0.0.1). Data
// blocks are dropped on arrival at the receiver; the repair phase must bring every file back byte-exact.
// As root each case runs in a network namespace of its own: its ports (28000 is fixed) meet no one's.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "api/engines.h"
#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/socket.h"
#include "protocol/wire.h"
#include "tivlo/tivlo.h"

namespace {

namespace fs = std::filesystem;
using namespace tivlo;
using Bytes = std::vector<uint8_t>;
using Ended = std::vector<std::pair<uintptr_t, intptr_t>>;

// A host window that keeps what every "transfer ended" message carried.
struct Host {
    std::mutex mutex;
    Ended ended;
    TivloWindow window = TivloCreateWindow(&Host::Proc, this);
    ~Host() { TivloDestroyWindow(window); }
    static void Proc(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam) {
        auto* self = static_cast<Host*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        if (message == TIVLO_MSG_TRANSFER_ENDED) self->ended.emplace_back(wParam, lParam);
    }
    Ended WaitForTheEnd() {  // 20 s of real time at most
        for (int i = 0; i < 4000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(5)))
            if (std::lock_guard<std::mutex> lock(mutex); !ended.empty()) return ended;
        return {};
    }
};

struct Loss { const char* name; uint16_t port; std::function<bool(uint32_t file, uint32_t block)> drop; };

class LoopbackTransfer : public ::testing::TestWithParam<Loss> {
protected:
    void SetUp() override {
        if (::geteuid() == 0 && ::unshare(CLONE_NEWNET) == 0) {  // and its loopback up
            ifreq lo{};
            std::strcpy(lo.ifr_name, "lo");
            const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            ASSERT_EQ(::ioctl(fd, SIOCGIFFLAGS, &lo), 0);
            lo.ifr_flags |= IFF_UP;
            ASSERT_EQ(::ioctl(fd, SIOCSIFFLAGS, &lo), 0);
            ::close(fd);
        }
        platform::SetTimeScale(0.05);
        platform::SetFixedDiskOverride([](const std::u16string&) { return true; });
    }
    void TearDown() override {
        api::TheClient().SetInboundFilter(nullptr);
        DeInitServer(), DeInitClient();
        platform::SetFixedDiskOverride(nullptr);
        fs::remove_all(dir);
    }
    const fs::path dir = fs::temp_directory_path() / ("tivlo-loopback-" + std::to_string(std::random_device()()));
    Host senderHost, receiverHost;
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
    ASSERT_EQ(InitClient(receiverHost.window, group, GetParam().port, loopback), 1);
    api::TheClient().SetInboundFilter([&](const uint8_t* d, size_t n) {
        return n >= protocol::kBlockHeadSize && d[2] == protocol::kDataBlock &&
               GetParam().drop(protocol::GetU32(d + protocol::block::kFile),
                               protocol::GetU32(d + protocol::block::kIndex)) && ++dropped;
    });
    ASSERT_EQ(StartReceive(), 1);
    ASSERT_EQ(InitServer(senderHost.window, group, GetParam().port, loopback), 1);
    const std::u16string target = (dir / "target").u16string(), selected = (dir / "src/sample").u16string();
    const char16_t* items[] = {selected.c_str()};
    TivloStringArray selection{1, items};
    ASSERT_TRUE(SetTargetPath(TIVLO_TARGET_MODE_PATH, target.c_str()) == 1 && SetSubDirTrans(1) == 1);
    ASSERT_TRUE(SetSelectFiles(&selection) == 1 && StartSend() == 1);
    EXPECT_EQ(receiverHost.WaitForTheEnd(), (Ended{{TIVLO_CODE_OK, 1}}));  // complete
    EXPECT_EQ(senderHost.WaitForTheEnd(), (Ended{{TIVLO_CODE_OK, 0}}));
    uint32_t errors[401] = {1};
    EXPECT_TRUE(dropped > 5 && GetErrInfo(errors) == 0 && errors[0] == 0);
    for (const auto& [name, content] : files) {
        std::ifstream in(dir / "target" / name, std::ios::binary);
        EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), content) << name;
    }
    EXPECT_TRUE(fs::is_directory(dir / "target/sample/hollow"));
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

}  // namespace
