// The platform layer on every system (sockets on loopback, host windows,
// clock, events, threads), then what only the POSIX layer has.
#include <gtest/gtest.h>

#include <fstream>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/log.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "platform/target_dir.h"
#include "platform/window.h"
#include "protocol/wire.h"
#if !defined(_WIN32)
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/system_posix_detail.h"
#endif

namespace tivlo::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::literals;
using Messages = std::vector<uint32_t>;
using Texts = std::vector<std::u16string>;
using RealClock = std::chrono::steady_clock;

int64_t RealMsSince(RealClock::time_point start) { return (RealClock::now() - start) / 1ms; }
void RealSleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
bool Eventually(const std::function<bool()>& condition) {  // for about two seconds of real time
    for (int i = 0; i < 2000; ++i, RealSleepMs(1)) if (condition()) return true;
    return false;
}

// A fresh directory in the temporary folder, removed with all it holds.
struct TempDir {
    const fs::path path = fs::temp_directory_path() / ("tivlo-test-" + std::to_string(std::random_device()()));
    std::error_code error;
    TempDir() { fs::create_directories(path); }
    ~TempDir() { fs::remove_all(path, error); }
    fs::path operator/(const fs::path& relative) const { return path / relative; }
    std::u16string U16(const fs::path& relative = {}) const {  // as the platform layer takes paths
        return (relative.empty() ? path : path / relative).u16string();
    }
};

// Sockets: receivers as the engines make them (any address, membership on loopback); senders on loopback.

const uint32_t kLoopback = ParseIPv4("127.0.0.1"), kGroup = ParseIPv4("235.9.2.9");

void Open(UdpSocket& s, uint16_t port, uint32_t group = kGroup) {
    ASSERT_TRUE(s.Open() && s.SetReuseAddress() && s.Bind(group ? 0 : kLoopback, port));
    ASSERT_TRUE(group ? s.SetReceiveBuffer(1 << 20) && s.JoinGroup(group, kLoopback)
                      : s.SetMulticastInterface(kLoopback) && s.SetMulticastTtl(50));
}
bool Send(UdpSocket& s, const std::string& text, uint16_t port, uint32_t to = kGroup) {
    return s.SendTo(text.data(), text.size(), Endpoint{to, port});
}
std::string Receive(UdpSocket& s, uint32_t timeoutMs = 2000, Endpoint* from = nullptr, size_t capacity = 32768) {
    std::string buffer(capacity, '\0');
    const int n = s.ReceiveFromTimeout(buffer.data(), capacity, from, timeoutMs);
    return n == UdpSocket::kTimedOut ? "<timeout>" : n < 0 ? "<error>" : buffer.substr(0, size_t(n));
}

TEST(UdpSocket, MulticastOnLoopbackAndTheInboundFilter) {
    EXPECT_TRUE(kGroup == protocol::IPv4(235, 9, 2, 9) && (ParseIPv4(nullptr) | ParseIPv4("256.1.1.1")) == 0);
    const uint16_t port = 51101;
    UdpSocket receiver, sender;
    Open(receiver, port);
    Open(sender, 0, 0);
    EXPECT_EQ(receiver.LocalPort(), port);
    std::atomic<int> seen{0};  // the filter drops datagrams as if lost
    receiver.SetInboundFilter([&](const uint8_t* d, size_t n) { return ++seen, n > 0 && d[0] == 'X'; });
    const std::string big(protocol::kMaxDatagram, 'b');
    for (const std::string& s : {"X-lost"s, "block"s, big, ""s, "0123456789"s}) ASSERT_TRUE(Send(sender, s, port));
    ASSERT_TRUE(Send(sender, "X-again", port) && !Send(sender, std::string(70000, 'x'), port));
    Endpoint from;
    EXPECT_EQ(Receive(receiver, 2000, &from), "block");
    EXPECT_TRUE(from.addr == kLoopback && from.port == sender.LocalPort());
    EXPECT_EQ(Receive(receiver), big);  // the largest datagram whole, an empty one, one cut to the buffer
    EXPECT_EQ(Receive(receiver), "");
    EXPECT_EQ(Receive(receiver, 2000, nullptr, 4), "0123");
    EXPECT_EQ(Receive(receiver, 100), "<timeout>");  // the cut one's rest is gone; only a dropped one follows
    EXPECT_EQ(seen.load(), 6);
    receiver.SetInboundFilter(nullptr);
    ASSERT_TRUE(receiver.LeaveGroup(kGroup, kLoopback) && Send(sender, "late", port));
    EXPECT_EQ(Receive(receiver, 100), "<timeout>");
}

TEST(UdpSocket, OnlyJoinedGroupsArrive) {
    const uint16_t port = 51102;
    const uint32_t otherGroup = ParseIPv4("235.9.2.77");
    UdpSocket joined, second, notJoined, other, sender;
    Open(joined, port);
    Open(second, port);  // a second member on the port gets its own copy
    Open(other, port, otherGroup);
    ASSERT_TRUE(notJoined.Open() && notJoined.SetReuseAddress() && notJoined.Bind(0, port));
    Open(sender, 0, 0);
    ASSERT_TRUE(Send(sender, "to group", port) && Send(sender, "to other", port, otherGroup));
    EXPECT_EQ(Receive(joined) + Receive(second) + Receive(other), "to groupto groupto other");
    EXPECT_EQ(Receive(joined, 100) + Receive(notJoined, 100) + Receive(other, 100), "<timeout><timeout><timeout>");
}

TEST(UdpSocket, WaitsEndOnTheScaledClockByInterruptAndByClose) {
    const uint16_t port = 51103;
    UdpSocket s;
    char buffer[64];
    EXPECT_FALSE(s.IsOpen() || s.SetReuseAddress() || s.Bind(kLoopback, port) || s.JoinGroup(kGroup, kLoopback));
    ASSERT_TRUE(s.Open() && s.Bind(kLoopback, port) && !s.Open() && !s.JoinGroup(ParseIPv4("10.0.0.1"), kLoopback));
    SetTimeScale(0.05);
    auto start = RealClock::now();
    EXPECT_EQ(Receive(s, 4000), "<timeout>");  // 200 ms real, then 100 ms
    EXPECT_EQ(s.ReceiveFromTimeoutNs(buffer, 8, nullptr, 2'000'000'000), UdpSocket::kTimedOut);
    EXPECT_TRUE(RealMsSince(start) >= 290 && RealMsSince(start) < 3000) << RealMsSince(start);
    SetTimeScale(1.0);
    std::atomic<int> plain{100}, timed{100};
    std::thread waiter([&] { timed = s.ReceiveFromTimeout(buffer, 8, nullptr, 600000); });
    RealSleepMs(50);
    start = RealClock::now();
    s.Interrupt();
    waiter.join();
    EXPECT_TRUE(timed == UdpSocket::kTimedOut && RealMsSince(start) < 1000);
    s.Interrupt();  // with nobody waiting it ends the next wait, once
    EXPECT_EQ(Receive(s, 600000), "<timeout>");
    ASSERT_TRUE(Send(s, "after", port, kLoopback));
    EXPECT_EQ(Receive(s), "after");
    std::thread a([&] { plain = s.ReceiveFrom(buffer, 32, nullptr); });
    std::thread b([&] { timed = s.ReceiveFromTimeout(buffer + 32, 32, nullptr, 600000); });
    RealSleepMs(50);
    start = RealClock::now();
    s.Close();
    a.join(), b.join();
    EXPECT_TRUE(plain == -1 && timed == -1 && !s.IsOpen() && RealMsSince(start) < 1000);
    EXPECT_FALSE(s.ReceiveFrom(buffer, 8, nullptr) != -1 || Send(s, "x", port, kLoopback));
    s.Close();  // it opens again; non-blocking, a receive returns at once
    ASSERT_TRUE(s.Open() && s.Bind(kLoopback, port) && s.SetNonBlocking() && s.ReceiveFrom(buffer, 8, nullptr) == -1);
    ASSERT_TRUE(Send(s, "ready", port, kLoopback));
    EXPECT_TRUE(Eventually([&] { return s.ReceiveFrom(buffer, 8, nullptr) == 5; }));
}

TEST(UdpSocket, BatchedWaitsLoseNothingAndKeepTheDeadline) {
    const uint16_t port = 51104;
    UdpSocket receiver, sender;
    Open(receiver, port);
    Open(sender, 0, 0);
    receiver.SetBatchWait(300'000'000);  // far longer than any wait below
    std::thread bursts([&] {
        for (int i = 0; i < 200; ++i) {
            if (i % 50 == 0) RealSleepMs(5);
            ASSERT_TRUE(Send(sender, std::to_string(i), port));
        }
    });
    std::string order, expected;
    for (int i = 0; i < 200; ++i) order += Receive(receiver) + ",", expected += std::to_string(i) + ",";
    bursts.join();
    EXPECT_EQ(order, expected);
    // Dense arrivals make the next empty wait a nap; it still ends with the
    // receive's own time, not the nap's.
    const auto start = RealClock::now();
    EXPECT_EQ(Receive(receiver, 20), "<timeout>");
    EXPECT_LT(RealMsSince(start), 250);
    ASSERT_TRUE(Send(sender, "later", port));
    EXPECT_EQ(Receive(receiver), "later");
}

// What a host window procedure saw. It holds message 1 until the gate opens, and
// destroys its own window from inside the call of another.
struct Recorder {
    std::mutex mutex;
    Messages messages;
    Texts texts;
    std::thread::id thread;
    uint32_t destroyOn = 0;
    Event gate, entered;
    uintptr_t self = CreateHostWindow(&Recorder::Proc, this);
    std::atomic<bool> destroyedInside{false};

    Messages Seen() { return std::lock_guard<std::mutex>(mutex), messages; }
    static void Proc(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam) {
        auto* r = static_cast<Recorder*>(context);
        {
            std::lock_guard<std::mutex> lock(r->mutex);
            if (r->messages.empty()) r->thread = std::this_thread::get_id();
            EXPECT_EQ(r->thread, std::this_thread::get_id());  // every call on the one delivery thread
            r->messages.push_back(message);
            if (wParam == 7) r->texts.emplace_back(reinterpret_cast<const char16_t*>(lParam));
        }
        if (message == 1) r->entered.Set(), r->gate.WaitForever();
        if (message == r->destroyOn) r->destroyedInside = DestroyHostWindow(r->self);
    }
};

TEST(HostWindow, IssueOrderOnOneLibraryThreadAndNothingForOtherHandles) {
    Recorder r, other;
    const uintptr_t w = r.self;
    EXPECT_TRUE(w != 0 && other.self != 0 && w != other.self && CreateHostWindow(nullptr, &r) == 0);
    Messages expected;
    for (uint32_t i = 2; i <= 200; expected.push_back(i++))
        i % 50 ? (void)PostHostMessage(w, i, 0, 0) : SendHostMessage(w, i, 0, 0);
    EXPECT_EQ(r.Seen(), expected);  // the last was sent: all before it are through
    EXPECT_NE(r.thread, std::this_thread::get_id());
    other.destroyOn = 8;  // destroyed from inside the procedure: no deadlock, and nothing more
    for (uint32_t m : {8, 9}) PostHostMessage(other.self, m, 0, 0);
    EXPECT_TRUE(Eventually([&] { return other.destroyedInside.load(); }) && DestroyHostWindow(w));
    EXPECT_FALSE(DestroyHostWindow(w) || DestroyHostWindow(other.self) || DestroyHostWindow(0));
    for (uintptr_t to : {uintptr_t(0), w, w + 1000})  // none, destroyed, never made
        PostHostMessage(to, 3, 0, 0), PostHostText(to, 4, 7, u"a"), SendHostMessage(to, 5, 0, 0);
    RealSleepMs(20);
    EXPECT_TRUE(r.Seen() == expected && other.Seen() == Messages{8});
}

// Texts are copies, intact through a queue that grows and reuses its slots.
TEST(HostWindow, PostReturnsAtOnceSendWaitsTextsAreCopiesAndDestroyReleasesSenders) {
    Recorder r;
    Texts expected;
    for (uint32_t round = 0; round < 3; ++round, r.gate.Reset(), r.entered.Reset()) {
        PostHostMessage(r.self, 1, 0, 0);
        ASSERT_TRUE(r.entered.Wait(5000));
        const auto start = RealClock::now();
        for (uint32_t i = 0; i < 700; ++i) {
            expected.emplace_back((i * 37 + round * 11) % 301, char16_t(u'a' + (i + round) % 26));
            PostHostText(r.self, 2, 7, expected.back());
            if (i % 3 == 0) PostHostMessage(r.self, 3, 0, 0);
        }
        std::atomic<bool> sent{false};
        std::thread sender([&] { SendHostMessage(r.self, 4, 0, 0), sent = true; });
        EXPECT_LT(RealMsSince(start), 500);
        RealSleepMs(20);
        EXPECT_TRUE(!sent && r.Seen().back() == 1);  // the procedure is still inside message 1
        r.gate.Set();
        sender.join();
        EXPECT_EQ(r.Seen().back(), 4u);
    }
    EXPECT_EQ(r.texts, expected);
    r.gate.Reset(), r.entered.Reset();  // destroy waits for the delivery, drops the rest and releases senders
    for (uint32_t m : {1, 2}) PostHostMessage(r.self, m, 0, 0);
    ASSERT_TRUE(r.entered.Wait(5000));
    std::atomic<bool> sent{false}, destroyed{false};
    std::thread sender([&] { SendHostMessage(r.self, 3, 0, 0), sent = true; });  // queued behind the held one
    RealSleepMs(20);
    std::thread destroyer([&] { destroyed = DestroyHostWindow(r.self); });
    RealSleepMs(50);
    EXPECT_FALSE(destroyed.load());  // message 1 is still being delivered
    r.gate.Set();
    destroyer.join(), sender.join();
    RealSleepMs(10);
    EXPECT_TRUE(destroyed && sent && r.Seen().back() == 1);
}

TEST(ClockAndThreads, ScaledWaitsEventsAndThreads) {  // the protocol clock runs 20 times faster
    SetTimeScale(0.05);
    auto start = RealClock::now();
    const uint64_t before = NowMs();
    SleepMs(1000);
    EXPECT_TRUE(RealMsSince(start) >= 45 && RealMsSince(start) < 500) << RealMsSince(start);
    EXPECT_TRUE(NowMs() - before >= 990 && NowMs() - before < 10000);  // the protocol clock counts the whole second
    EXPECT_LE(NowNs() / 1'000'000 - NowMs(), 1u);
    Event e, other;
    start = RealClock::now();
    EXPECT_FALSE(e.Wait(2000) || (e.Set(), WaitBoth(e, other, 1000)) || WaitBoth(other, e, 0));
    EXPECT_TRUE(RealMsSince(start) >= 145 && RealMsSince(start) < 1500) << RealMsSince(start);
    EXPECT_EQ(ScaledNanos(5000), 250'000'000);
    for (double factor : {2.0, 0.0, -1.0}) SetTimeScale(factor);  // not speeds: ignored
    EXPECT_EQ(ScaledNanos(10), 20'000'000);
    for (uint64_t previous = NowMs(); double factor : {1.0, 0.05, 3.0, 0.01, 1.0}) {
        SetTimeScale(factor), RealSleepMs(2);
        EXPECT_GE(NowMs(), previous) << factor;
        previous = NowMs();
    }
    SetTimeScale(1.0);
    Event go, a, b;  // threads one at a time, events that wake every waiter and stay set until reset
    std::atomic<int> ran{0};
    std::vector<Thread> threads(4);
    for (Thread& t : threads)
        ASSERT_TRUE(t.Start([&] { ran += go.Wait(60000) && WaitBoth(a, b, 60000) && t.IsCurrent(); },
                            ThreadPriority::AboveNormal));
    EXPECT_TRUE(threads[0].Running() && !threads[0].Start([] {}) && !threads[0].IsCurrent());
    go.Set(), a.Set(), b.Set();  // a WaitBoth also sees both set in either order
    for (auto& t : threads) t.Join();
    EXPECT_TRUE(ran == 4 && go.IsSet() && go.Wait(0) && !threads[0].Running());  // set until reset
    go.Reset(), a.Reset(), b.Reset();
    EXPECT_FALSE(go.IsSet() || go.Wait(20) || WaitBoth(a, b, 20));
    std::thread resetter([&] { a.Set(), RealSleepMs(20), a.Reset(), b.Set(); });
    EXPECT_FALSE(WaitBoth(a, b, 200));  // a reset while it waits for the other one counts
    resetter.join();
    ASSERT_TRUE(Thread().Start([&] { RealSleepMs(50), ++ran; }));  // destroying a running thread waits for it
    EXPECT_EQ(ran.load(), 5);
}

#if !defined(_WIN32)

std::string Read(const fs::path& path) { return (std::ostringstream() << std::ifstream(path).rdbuf()).str(); }
void Write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}
void Collect(void* texts, const char16_t* line) { static_cast<Texts*>(texts)->emplace_back(line); }

// This program's Environment case run with `env` (as env(1) takes it): exit status and standard error.
std::pair<int, std::string> RunChild(const std::string& env) {
    const std::string command = "env " + env + " TIVLO_CHILD_CASE=1 " + fs::read_symlink("/proc/self/exe").string() +
                                " --gtest_filter=Environment.* 2>&1 >/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out(1 << 16, '\0');
    out.resize(std::fread(out.data(), 1, out.size(), pipe));
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// Time scale, code page and debug output are read once per process: the case reruns itself in a child.
TEST(Environment, ReadOncePerProcess) {
    if (!std::getenv("TIVLO_CHILD_CASE")) {
        EXPECT_EQ(RunChild("TIVLO_TIME_SCALE=0.25 TIVLO_ANSI_CODEPAGE=CP1251 TIVLO_DEBUG=1"),
                  std::make_pair(0, std::string("scale 0.25 ansi \xD0\xB9 \xE9?\ncaf\xC3\xA9\n"
                                                "\nTivlo-----No free space to write file!\nn=42\n")));
        EXPECT_EQ(RunChild("-u TIVLO_DEBUG -u TIVLO_ANSI_CODEPAGE TIVLO_TIME_SCALE=fast"),
                  std::make_pair(0, std::string("scale 1 ansi \xC3\xA9 ?\xE9\n")));
        return;
    }
    std::fprintf(stderr, "scale %g ansi %s %s\n", TimeScale(), Utf16ToUtf8(AnsiToUtf16("\xE9", 1)).c_str(),
                 Utf16ToAnsi(u"\u0439\u00e9").c_str());
    Log("caf\xC3\xA9");  // standard error only with TIVLO_DEBUG, a line each
    Log("\nTivlo-----No free space to write file!\n");
    Logf("n=%d", 42);
    Texts sunk;  // and never while a sink takes them, in UTF-16; a sink may log itself
    SetLogSink([](void* t, const char16_t* line) { if (Collect(t, line), line[0] == u'o') Log("inner"); }, &sunk);
    Log("outer \xF0\x9F\x98\x80");
    SetLogSink(nullptr, nullptr);
    EXPECT_EQ(sunk, (Texts{u"outer \U0001F600", u"inner"}));
}

TEST(File, WriteSeekReadTruncateFarOffsetsAndFailures) {
    TempDir dir;
    File f, other;
    char buffer[16];
    ASSERT_TRUE(!f.IsOpen() && f.Create(dir.U16("a")) && f.IsOpen() && f.Write("hello world", 11) && f.Length() == 11);
    ASSERT_TRUE(f.Seek(6) && f.Write("WORLD", 5) && f.Truncate(8) && f.Length() == 8);
    // Opened again the rest is kept, and the gap reads as zeros; Linux has no sharing modes.
    ASSERT_TRUE(f.OpenWriteExisting(dir.U16("a")) && f.Seek(10) && f.Write("!", 1));
    ASSERT_TRUE(f.OpenRead(dir.U16("a"), true) && other.OpenRead(dir.U16("a"), true));
    EXPECT_TRUE(f.Read(buffer, 4) == 4 && f.Read(buffer + 4, 16) == 7 && f.Read(buffer, 4) == 0 && !f.Write("x", 1));
    EXPECT_EQ(std::string(buffer, 11), std::string("hello WO\0\0!", 11));
    ASSERT_TRUE(f.Seek(0) && f.Read(buffer, 2) == 2 && f.Seek(1) && f.Read(buffer, 2) == 2);
    EXPECT_EQ(std::string(buffer, 2), "el");
    const int64_t big = (int64_t{5} << 30) + 3;  // sparse: costs no space
    ASSERT_TRUE(f.Create(dir.U16("big")) && f.Truncate(big) && f.Seek(big - 1) && f.Write("z", 1) && f.Length() == big);
    ASSERT_TRUE(f.OpenRead(dir.U16("big"), false) && f.Seek(big - 2) && f.Read(buffer, 2) == 2);
    EXPECT_TRUE(std::string(buffer, 2) == std::string("\0z", 2) && FileLength(dir.U16("big")) == big);
    ASSERT_TRUE(f.Create(dir.U16("a")) && FileLength(dir.U16("a")) == 0);  // creating again empties it
    f.Close();
    EXPECT_FALSE(f.IsOpen() || f.OpenRead(dir.U16("none"), false) || f.OpenWriteExisting(dir.U16("none")) ||
                 PathExists(dir.U16("none")) || f.Create(dir.U16("no/dir/f")) || f.Create(u""));
    EXPECT_TRUE(FileLength(dir.U16("none")) == -1 && f.Read(buffer, 1) == -1 && f.Length() == -1 && !f.Write("x", 1));
    EXPECT_FALSE(f.Seek(0) || f.Truncate(0));
}

TEST(FileSystem, ListingKindsMakingAndNormalizing) {
    TempDir dir;
    for (const char* name : {"file", "sub/inner", ".hidden", "caf\xC3\xA9"}) Write(dir / name, "x");
    fs::create_symlink(dir / "file", dir / "link-file");
    fs::create_directory_symlink(dir / "sub", dir / "link-dir");  // the walk never follows one
    fs::create_symlink(dir / "gone", dir / "dangling");
    ::mkfifo((dir / "fifo").c_str(), 0644);
    std::vector<DirEntry> entries;
    std::map<std::u16string, int> kinds;
    ASSERT_TRUE(ListDirectory(dir.U16() + u"/", &entries));
    for (const auto& e : entries) kinds[e.name] += 10 + e.kind;
    EXPECT_EQ(kinds, (std::map<std::u16string, int>{{u"file", 10}, {u"sub", 11}, {u".hidden", 10}, {u"caf\u00e9", 10},
                          {u"link-file", 10}, {u"link-dir", 12}, {u"dangling", 12}, {u"fifo", 12}}));
    ASSERT_TRUE(ListDirectory(dir.U16("sub"), &entries) && entries.size() == 1);  // replaces what was there
    EXPECT_FALSE(ListDirectory(dir.U16("none"), &entries) || ListDirectory(dir.U16("file"), &entries) ||
                 ListDirectory(u"", &entries) || GetPathKind(u"") != PathKind::Missing || PathExists(dir.U16("none")));
    using enum PathKind;
    for (const auto& [name, kind] : std::map<std::string, PathKind>{{"file", File}, {"link-file", File},
             {"fifo", Other}, {"sub", Directory}, {"none", Missing}, {"", Directory}})
        EXPECT_EQ(GetPathKind(dir.U16(name)), kind) << name;
    EXPECT_TRUE(PathExists(dir.U16("fifo")) && MakeDirectory(dir.U16("new")) && MakeDirectory(dir.U16("new/inner")));
    EXPECT_FALSE(MakeDirectory(dir.U16("new")) || MakeDirectory(dir.U16("file")) || MakeDirectory(dir.U16("x/y")) ||
                 MakeDirectory(u""));
    // Links resolved as far as the path exists, ".." after them, the rest as it reads.
    std::u16string normal, d = dir.U16();
    const std::map<std::string, std::string> normalized{{"/link-dir/../file", "/file"}, {"//sub/./x/../y/", "/sub/y"},
        {"/link-dir/inner/", "/sub/inner"}, {"/dangling/x", "/gone/x"}, {"/no/../link-file", "/file"}};
    for (const auto& [i, o] : normalized)
        EXPECT_TRUE(NormalizePath(d + Utf8ToUtf16(i), &normal) && normal == d + Utf8ToUtf16(o)) << i;
    fs::create_symlink("loop", dir / "loop");
    EXPECT_FALSE(NormalizePath(dir.U16("loop"), &normal) || NormalizePath(u"relative", &normal));
    EXPECT_TRUE(NormalizePath(u"/", &normal) && normal == u"/");
}

TEST(FileSystem, FixedDiskAndFreeSpaceOfThePathOrItsAncestorAndTheirHooks) {
    TempDir dir;
    for (const char16_t* path : {u"", u"relative", u"\\\\server\\share", u"/proc", u"/proc/x", u"/dev/shm/in/later"})
        EXPECT_FALSE(IsFixedDisk(path)) << Utf16ToUtf8(path);
    struct statfs type;
    const bool disk = IsFixedDisk(dir.U16());
    EXPECT_TRUE(::statfs(dir.path.c_str(), &type) == 0 && (type.f_type != 0xEF53 || disk));  // ext4 is one
    uint64_t bytes = 0;
    for (const std::u16string& path : {dir.U16(), dir.U16("not/yet/made")}) {  // judged by the nearest ancestor
        EXPECT_TRUE(IsFixedDisk(path) == disk && FreeDiskBytes(path, &bytes));
        EXPECT_LT(std::abs(int64_t(bytes - fs::space(dir.path).available)), 64 << 20);  // others write meanwhile
    }
    EXPECT_FALSE(FreeDiskBytes(u"", &bytes) || FreeDiskBytes(dir.U16(), nullptr));
    Texts asked;
    SetFixedDiskOverride([&](const std::u16string& path) { return asked.push_back(path), path == u"D:\\In"; });
    SetFreeSpaceOverride([&](const std::u16string& p, uint64_t* b) { return asked.push_back(p), *b = 1ull << 32; });
    EXPECT_TRUE(IsFixedDisk(u"D:\\In") && !IsFixedDisk(u"/x") && FreeDiskBytes(u"", &bytes) && bytes == 1ull << 32);
    EXPECT_EQ(asked, (Texts{u"D:\\In", u"/x", u""}));
    SetFixedDiskOverride(nullptr), SetFreeSpaceOverride(nullptr);
    EXPECT_FALSE(IsFixedDisk(u"D:\\In") || FreeDiskBytes(u"", &bytes));
}

TEST(Text, Utf8AndUtf16BothWaysBrokenInputAndCodePage1252) {
    const std::map<std::u16string, std::string> both{{u"", ""}, {std::u16string(u"a\0b", 3), std::string("a\0b", 3)},
        {u"A\u00e9\u20ac\U0001F600z", "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z"},
        {u"\u007f\u0080\u07ff\u0800\uffff\U00010000\U0010FFFF",
         "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"}};
    for (const auto& [u16, u8] : both) EXPECT_TRUE(Utf16ToUtf8(u16) == u8 && Utf8ToUtf16(u8) == u16) << u8;
    // Broken text: one replacement character for each broken piece.
    EXPECT_EQ(Utf16ToUtf8(u"\xD83D" "a\xDE00" "b\xD83D"), "\xEF\xBF\xBD" "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    const std::map<std::string, std::u16string> broken{{"\x80", u"\uFFFD"}, {"a\xE2\x82", u"a\uFFFD"},
        {"\xE2\x82" "b", u"\uFFFD" "b"}, {"\xC0\xAF", u"\uFFFD\uFFFD"}, {"\xE0\x80\xAF", u"\uFFFD"},
        {"\xED\xA0\x80", u"\uFFFD"}, {"\xF4\x90\x80\x80", u"\uFFFD"}, {"\xFF" "x", u"\uFFFD" "x"}};
    for (const auto& [utf8, utf16] : broken) EXPECT_EQ(Utf8ToUtf16(utf8), utf16);
    // A character the code page lacks, or a lone surrogate, becomes '?'; a pair one '?'.
    EXPECT_EQ(AnsiToUtf16("caf\xE9 \x80 \x9F\0b", 10), std::u16string(u"caf\u00e9 \u20ac \u0178\0b", 10));
    EXPECT_TRUE(AnsiToUtf16("", 0).empty() && AnsiToUtf16(nullptr, 3).empty());
    EXPECT_EQ(Utf16ToAnsi(u"caf\u00e9 \u20ac \u0178 \u0100\u4e2d \U0001F600 \xD800"), "caf\xE9 \x80 \x9F ?? ? ?");
    for (char c = 1; c != 0; ++c) {  // every byte the page defines goes there and back
        const std::u16string wide = AnsiToUtf16(&c, 1);
        EXPECT_TRUE(wide.size() == 1 && (wide == u"?" || Utf16ToAnsi(wide) == std::string(1, c))) << int(c);
    }
}

TEST(Users, NamesHomesAndFolders) {
    passwd* pw = ::getpwuid(::geteuid());
    ASSERT_NE(pw, nullptr);
    std::u16string name, home, path;
    std::string desktop;
    ASSERT_TRUE(CurrentUserName(&name) && UserHome(name, &home) && UserHome(u"", &path) && path == home);
    ASSERT_TRUE(name == Utf8ToUtf16(pw->pw_name) && home == Utf8ToUtf16(pw->pw_dir) && IsNtFamily() == 1);
    EXPECT_FALSE(UserHome(u"no-such-user", &path));
    ::setenv("TIVLO_LOGON_USER", pw->pw_name, 1);
    EXPECT_TRUE(LogonUserName(&path) && path == name && detail::XdgFolderInHome(0, pw->pw_dir, &desktop));
    EXPECT_TRUE(SpecialFolderPath(0, name, &path) && path == Utf8ToUtf16(desktop));
    EXPECT_TRUE(SpecialFolderPath(25, u"no-such-user", &path) && path == Utf8ToUtf16(desktop));  // the seat user's
    ::unsetenv("TIVLO_LOGON_USER");
    EXPECT_TRUE(SpecialFolderPath(40, name, &path) && path == home);
    EXPECT_FALSE(SpecialFolderPath(99, name, &path) || SpecialFolderPath(0, u"no-such-user", &path));
    // Folders from user-dirs.dirs or their defaults; a root service takes only
    // those below the user's home that are the user's own (or not made yet).
    TempDir base;
    const std::string h = (base / "home").string();
    const uid_t me = ::geteuid();
    fs::create_directories(base / "home/Desktop");
    fs::create_directories(base / "outside");
    for (const char* link : {"home/Link", "home/Music"}) fs::create_directory_symlink(base / "outside", base / link);
    EXPECT_FALSE(detail::FolderBelowHome(h + "/Desktop", h, me + 1) || detail::FolderBelowHome(h, h, me) ||
                 detail::FolderBelowHome(h + "/Link/../../x", h, me) || detail::FolderBelowHome("/", "/", me));
    std::string p;
    auto folders = [&](std::map<uint32_t, std::pair<std::string, std::string>> expected) {  // as is, for root
        for (const auto& [csidl, want] : expected) {
            EXPECT_EQ(detail::XdgFolderInHome(csidl, h + "/", &p) ? p : "-", want.first) << csidl;
            EXPECT_EQ(detail::ConfinedFolderInHome(csidl, "u", h, me, &p) ? p : "-", want.second) << csidl;
        }
    };
    folders({{0, {h + "/Desktop", h + "/Desktop"}}, {16, {h + "/Desktop", h + "/Desktop"}}, {25, {"-", "-"}},
             {5, {h + "/Documents", h + "/Documents"}}, {13, {h + "/Music", "-"}}, {14, {h + "/Videos", h + "/Videos"}},
             {39, {h + "/Pictures", h + "/Pictures"}}, {40, {h, h}}, {26, {"-", "-"}}, {0xFFFFFFFE, {"-", "-"}}});
    Write(base / "home/.config/user-dirs.dirs",
          "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"/\"\nXDG_DOCUMENTS_DIR=\"/srv/docs/\"\n"
          "  XDG_MUSIC_DIR = \"${HOME}/Link\"\nXDG_VIDEOS_DIR=\"$HOME/My \\\"Videos\\\"\"\n"
          "XDG_PICTURES_DIR=relative/not/allowed\n#XDG_MUSIC_DIR=\"$HOME/commented\"\nXDG_VIDEOS_DIRX=\"/other\"\n"
          "broken line\nXDG_DOCUMENTS_DIR=$HOME/Docs # the last one wins, as in the shell\n");
    Texts logged;  // what a root service does not take, and why
    SetLogSink(Collect, &logged);
    folders({{0, {"/", h + "/Desktop"}}, {5, {h + "/Docs", h + "/Docs"}}, {13, {h + "/Link", "-"}}, {40, {h, h}},
             {14, {h + "/My \"Videos\"", h + "/My \"Videos\""}}, {39, {h + "/Pictures", h + "/Pictures"}}});
    SetLogSink(nullptr, nullptr);
    ASSERT_EQ(logged.size(), 3u);  // for the Music setting, then for its default
    EXPECT_NE(logged[0].find(u"setting XDG_DESKTOP_DIR=/ lies outside the home of user u"), std::u16string::npos);
    EXPECT_NE(logged[2].find(u"Folder " + Utf8ToUtf16(h) + u"/Music lies outside"), std::u16string::npos);
    EXPECT_TRUE(detail::ParseUserDirs("XDG_DOWNLOAD_DIR=\"$HOME/\"", "XDG_DOWNLOAD_DIR", "/u", &p) && p == "/u");
    EXPECT_FALSE(detail::ParseUserDirs("", "XDG_DESKTOP_DIR", "/u", &p) || detail::XdgFolderInHome(0, "", &p));
}

// Below a target root: base/root is the root, base/outside what it must never touch.
struct Trap : ::testing::Test {
    void SetUp() override {
        Write(base / "outside/secret", "secret");
        Write(root / "keep.txt", "keep");
        ASSERT_TRUE(dir.Open(root.u16string()));
    }
    // Everything outside the root, and the file beside the traps, as they are.
    std::map<std::string, std::string> Untouched() const {
        std::map<std::string, std::string> seen{{"keep.txt", Read(root / "keep.txt")}};
        for (const auto& e : fs::recursive_directory_iterator(base / "outside")) seen[e.path()] = Read(e.path());
        return seen;
    }
    TempDir base;
    const fs::path root = base / "root";
    TargetDir dir;
    TargetFile file;
};

TEST_F(Trap, NothingOutsideTheRootChanges) {
    int reader = -1;  // a FIFO without and with a reader
    auto link = [](const char* to, const char* at) { return [=](auto& r) { fs::create_symlink(to, r / at); }; };
    auto fifo = [&](const char* at, bool read) { return [=, &reader](const fs::path& r) {
        if (::mkfifo((r / at).c_str(), 0666) == 0 && read) reader = ::open((r / at).c_str(), O_RDONLY | O_NONBLOCK);
    }; };
    auto none = [](const fs::path&) {};
    const std::tuple<std::function<void(const fs::path&)>, const char16_t*, bool, bool> attacks[] = {
        {link("../outside", "d"), u"/d/secret", false, false}, {link("../outside/secret", "f"), u"/f", false, false},
        {link("../outside/new", "n"), u"/n", false, false}, {fifo("p", false), u"/p", false, false},
        {fifo("q", true), u"/q", false, false},
        {[](const fs::path& r) { fs::create_directory(r / "dir"); }, u"/dir", false, false},
        {none, u"/../outside/secret", false, false}, {none, u"/./", false, false},
        {link("../outside", "m"), u"/m/new/dir", true, false}, {none, u"/keep.txt/x", true, false},
        {[](const fs::path& r) { fs::create_hard_link(r / "../outside/secret", r / "h"); }, u"/h", false, true},
        {none, u"a//b/./c.bin", false, true}, {none, u"/e/f/", true, true}};
    Texts logged;  // each refusal names what was refused
    SetLogSink(Collect, &logged);
    for (const auto& [lay, relative, makeDirectories, accepted] : attacks) {
        SCOPED_TRACE(Utf16ToUtf8(relative));
        lay(root);
        const auto before = Untouched();
        logged.clear();
        ::alarm(10);  // a writer blocked on a FIFO ends the program
        const bool ok = makeDirectories ? dir.MakeDirectories(relative)
                                        : dir.OpenFile(relative, &file) && file.Write("new", 3) && file.Close();
        ::alarm(0);
        EXPECT_EQ(ok, accepted);
        EXPECT_EQ(Untouched(), before);
        EXPECT_EQ(logged.size() == 1 && logged[0].find(relative + std::u16string(u": ")) != std::u16string::npos &&
                      logged[0].ends_with(u" below the target root, refused!\n"), !accepted);
        EXPECT_TRUE(!ok || makeDirectories || Read(root / fs::path(relative).relative_path()) == "new");
    }
    SetLogSink(nullptr, nullptr);
    EXPECT_TRUE(fs::is_directory(root / "e/f") && fs::is_regular_file(root / "a/b/c.bin"));
    ::close(reader);
}

// An open file stays the file when its path is swapped; existing files are
// written in place; failed replacements leave no trace, and nothing stays open.
TEST_F(Trap, SwappedPathsInPlaceWritesAndFailedReplacements) {
    ASSERT_TRUE(dir.OpenFile(u"/s/file", &file) && file.Write("AAAA", 4));
    const auto before = Untouched();
    fs::rename(root / "s", root / "s-old");
    fs::create_directory_symlink("../outside", root / "s");
    fs::rename(root / "s-old/file", root / "s-old/moved");
    fs::create_symlink("../../outside/secret", root / "s-old/file");
    EXPECT_TRUE(file.Seek(4) && file.Write("BBBB", 4) && file.Close() && Untouched() == before);
    EXPECT_TRUE(Read(root / "s-old/moved") == "AAAABBBB" && !dir.OpenFile(u"/s/file", &file));  // now a link
    ASSERT_TRUE(dir.OpenFile(u"keep.txt", &file) && !file.Replaces() && file.Length() == 4);  // cut by the caller
    ASSERT_TRUE(file.Seek(4) && file.Write("!", 1) && file.Close() && Read(root / "keep.txt") == "keep!");
    EXPECT_FALSE(file.Close());  // nothing open
    fs::create_hard_link(base / "outside/secret", root / "h");
    const auto descriptors = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    const auto open = descriptors();
    for (int i = 0; i < 3; ++i) {  // a replacement discarded, directories made, the root opened again
        ASSERT_TRUE(dir.OpenFile(u"h", &file) && file.Replaces() && file.Write("half", 4));
        file.Discard();  // a failed transfer: both names keep the old contents
        ASSERT_TRUE(dir.MakeDirectories(u"/m/n") && dir.Open(root.u16string()));
    }
    EXPECT_TRUE(descriptors() == open && Read(root / "h") == "secret" && fs::hard_link_count(root / "h") == 2);
    ASSERT_TRUE(dir.OpenFile(u"h", &file) && file.Write("new", 3));
    fs::remove(root / "h");
    fs::create_directory(root / "h");
    EXPECT_FALSE(file.Close());  // a directory took the name meanwhile
    EXPECT_EQ(std::distance(fs::directory_iterator(root), {}), 5);  // and no replacement is left
    dir.Close();
    EXPECT_FALSE(dir.OpenFile(u"x", &file) || dir.MakeDirectories(u"x") || dir.Open(u"") || dir.Open(base.U16("none")));
}

TEST_F(Trap, RootWritesAsTheOwnerOfTheFolder) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    constexpr uid_t kNobody = 65534;
    Write(root / "root-owned", "old");  // left by a receiver that wrote as root
    Write(root / "theirs", "old");  // another user's file is replaced even if writable, the owner's written in place
    ASSERT_EQ(::chown((root / "theirs").c_str(), 4242, 4242) | ::chmod((root / "theirs").c_str(), 0666) |
                  ::chown(root.c_str(), kNobody, kNobody), 0);
    ASSERT_TRUE(dir.Open(root.u16string()) && dir.OwnerUid() == kNobody);
    Event go;
    std::thread other([&] { go.WaitForever(), Write(root / "other-thread", "x"); });
    {
        WriteIdentity as(dir.OwnerUid(), dir.OwnerGid());
        ASSERT_TRUE(as.Active() && dir.MakeDirectories(u"/a/b"));
        for (const char16_t* name : {u"/a/f", u"/root-owned", u"/a/f", u"/theirs"})
            EXPECT_TRUE(dir.OpenFile(name, &file) && file.Replaces() == (name[1] != 'a') && file.Write("new", 3) &&
                        file.Close()) << Utf16ToUtf8(name);
        go.Set();  // a thread that was running keeps its own identity
        other.join();
    }
    Write(root / "after", "x");
    const std::map<std::string, uid_t> owners{{"a", kNobody}, {"a/b", kNobody}, {"a/f", kNobody}, {"theirs", kNobody},
                                              {"root-owned", kNobody}, {"other-thread", 0}, {"after", 0}};
    struct stat st;
    for (const auto& [n, uid] : owners) EXPECT_TRUE(::stat((root / n).c_str(), &st) == 0 && st.st_uid == uid) << n;
    EXPECT_FALSE(Read(root / "root-owned") != "new" || WriteIdentity(0, 0).Active() || WriteIdentity(-1, 0).Active());
}

#endif

}  // namespace
}  // namespace tivlo::platform
