// The platform layer on every system (sockets on loopback, the clock), then
// what only the POSIX layer has.
#include <gtest/gtest.h>

#include <fstream>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/log.h"
#include "platform/path_rules.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "platform/target_dir.h"
#include "protocol/wire.h"
#if !defined(_WIN32)
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "platform/system_posix_detail.h"
#endif

namespace tivlo::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::literals;
using Texts = std::vector<std::u16string>;
using RealClock = std::chrono::steady_clock;

int64_t RealMsSince(RealClock::time_point start) { return (RealClock::now() - start) / 1ms; }
void RealSleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A fresh directory in the temporary folder, removed with all it holds.
struct TempDir {
    const fs::path path = fs::temp_directory_path() / ("tivlo-test-" + std::to_string(std::random_device()()));
    TempDir() { fs::create_directories(path); }
    ~TempDir() { std::error_code ignored; fs::remove_all(path, ignored); }
    fs::path operator/(const fs::path& relative) const { return path / relative; }
    // As the platform layer takes paths (path / "" would end in a separator).
    std::u16string U16(const fs::path& r = {}) const { return (r.empty() ? path : path / r).u16string(); }
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
    std::atomic<int> seen{0};  // the filter drops datagrams as if lost
    receiver.SetInboundFilter([&](const uint8_t* d, size_t n) { return ++seen, n > 0 && d[0] == 'X'; });
    const std::string big(protocol::kMaxDatagram, 'b');
    for (const std::string& s : {"X-lost"s, "block"s, big, ""s, "0123456789"s}) ASSERT_TRUE(Send(sender, s, port));
    ASSERT_TRUE(Send(sender, "X-again", port) && !Send(sender, std::string(70000, 'x'), port));
    // The largest datagram whole, an empty one, one cut to the buffer (its rest gone); only a dropped one follows.
    Endpoint from;
    const std::vector<std::string> got{Receive(receiver, 2000, &from), Receive(receiver), Receive(receiver),
                                       Receive(receiver, 2000, nullptr, 4), Receive(receiver, 100)};
    EXPECT_EQ(got, (std::vector<std::string>{"block", big, "", "0123", "<timeout>"}));
    EXPECT_TRUE(from.addr == kLoopback && from.port == sender.LocalPort() && receiver.LocalPort() == port && seen == 6);
    receiver.SetInboundFilter(nullptr);
    ASSERT_TRUE(Send(sender, "X after", port));  // the filter is gone
    EXPECT_EQ(Receive(receiver), "X after");
}

TEST(UdpSocket, WaitsEndOnTheScaledClockByInterruptAndByClose) {
    const uint16_t port = 51103;
    UdpSocket s;
    char buffer[64];
    ASSERT_TRUE(s.Open() && s.Bind(kLoopback, port) && !s.Open() && !s.JoinGroup(ParseIPv4("10.0.0.1"), kLoopback));
    SetTimeScale(0.05);
    auto start = RealClock::now();
    EXPECT_EQ(Receive(s, 4000), "<timeout>");  // 200 ms real, then 100 ms
    EXPECT_EQ(s.ReceiveFromTimeoutNs(buffer, 8, nullptr, 2'000'000'000), UdpSocket::kTimedOut);
    EXPECT_TRUE(RealMsSince(start) >= 290 && RealMsSince(start) < 3000) << RealMsSince(start);
    SetTimeScale(1.0);
    std::thread interrupter([&] { RealSleepMs(50), s.Interrupt(); });
    start = RealClock::now();
    EXPECT_TRUE(Receive(s, 600000) == "<timeout>" && RealMsSince(start) < 1000);
    interrupter.join();
    s.Interrupt();  // with nobody waiting it ends the next wait, once
    EXPECT_TRUE(Receive(s, 600000) == "<timeout>" && Send(s, "after", port, kLoopback) && Receive(s) == "after");
    std::atomic<int> timed{100};  // a close ends every wait
    std::thread closer([&] { RealSleepMs(50), s.Close(); });
    std::thread waiter([&] { timed = s.ReceiveFromTimeout(buffer + 32, 32, nullptr, 600000); });
    start = RealClock::now();
    EXPECT_EQ(s.ReceiveFrom(buffer, 32, nullptr), -1);
    closer.join(), waiter.join();
    EXPECT_TRUE(timed == -1 && !s.IsOpen() && RealMsSince(start) < 1000);
}

TEST(Clock, ScaledWaitsAndReadings) {  // the protocol clock runs 20 times faster
    SetTimeScale(0.05);
    Event a, b;
    const auto start = RealClock::now();
    const uint64_t before = NowMs();
    SleepMs(1000);  // 50 ms real, then 100 ms and 50 ms: each wait too long or too short shows
    EXPECT_FALSE(a.Wait(2000) || (a.Set(), WaitBoth(a, b, 1000)) || WaitBoth(b, a, 0));
    EXPECT_TRUE(RealMsSince(start) >= 195 && RealMsSince(start) < 1000) << RealMsSince(start);
    // The protocol clock counts them whole; its nanoseconds agree to the millisecond (read
    // between two readings of the milliseconds: a scaled millisecond is 50 us of real time).
    const uint64_t ms = NowMs(), ns = NowNs(), after = NowMs();
    EXPECT_TRUE(ms - before >= 3990 && ms - before < 20000 && ms <= ns / 1'000'000 && ns / 1'000'000 <= after);
    // Factors that are no speeds are ignored; no change steps the protocol clock back. It ends at 1.
    const std::pair<double, int64_t> scaledTenMs[] = {{2.0, 20'000'000}, {0.0, 20'000'000}, {-1.0, 20'000'000},
        {0.05, 500'000}, {3.0, 30'000'000}, {0.01, 100'000}, {1.0, 10'000'000}};
    for (uint64_t previous = NowMs(); const auto& [factor, nanos] : scaledTenMs) {
        SetTimeScale(factor), RealSleepMs(2);
        EXPECT_TRUE(ScaledNanos(10) == nanos && NowMs() >= std::exchange(previous, NowMs())) << factor;
    }
}

TEST(Text, NamesMeetWhereTheFileSystemTakesThemForOne) {
    // (a, b, one file on Windows); elsewhere only equal names are one.
    const struct { std::u16string a, b; bool windows; } pairs[] = {
        {u"\\Dir\\Notes.TXT", u"\\dir\\notes.txt", true},
        {u"\\\u00c9t\u00e9", u"\\\u00e9T\u00c9", true},  // accented Latin
        {u"\\\u0416\u0430\u0440", u"\\\u0436\u0410\u0420", true},  // Cyrillic
        {u"\\a", u"\\b", false},
        {u"\\strasse", u"\\stra\u00dfe", false},  // no full case mapping
    };
    for (const auto& p : pairs)
        EXPECT_EQ(FoldPath(p.a) == FoldPath(p.b), kPathsIgnoreCase ? p.windows : p.a == p.b) << Utf16ToUtf8(p.a);
    for (const char16_t* name : {u"con", u"Nul.txt", u"lpt1", u"COM9.log", u"conout$", u"aux .x", u"a.", u"b "})
        EXPECT_EQ(IsReservedName(name), kWindowsNames) << Utf16ToUtf8(name);
    for (const char16_t* name : {u"console", u"com", u"lpt10", u"x.con", u".", u"..", u"\U0001F600"})
        EXPECT_FALSE(IsReservedName(name)) << Utf16ToUtf8(name);
    // A lone surrogate has no UTF-8 form: two such names would meet on one
    // replacement character. Windows stores them as they are.
    for (const std::u16string name : {u"a\xD83D", u"\xDE00" u"a", u"a\xD83D" "b", u"\xD83D\xD83D"})
        EXPECT_EQ(IsReservedName(name), !kWindowsNames) << name.size();
}

#if !defined(_WIN32)

using Names = std::map<std::string, std::string>;
std::string Read(const fs::path& path) { return (std::ostringstream() << std::ifstream(path).rdbuf()).str(); }
void Write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}
void Collect(void* texts, const char16_t* line) { static_cast<Texts*>(texts)->emplace_back(line); }

TEST(File, WriteSeekReadTruncateFarOffsetsAndFailures) {
    TempDir dir;
    File f, other;
    char buffer[16];
    ASSERT_TRUE(!f.IsOpen() && f.Create(dir.U16("a")) && f.IsOpen() && f.Write("hello world", 11) && f.Length() == 11);
    ASSERT_TRUE(f.Seek(6) && f.Write("WORLD", 5) && f.Truncate(8) && f.Length() == 8);
    // Opened again the rest is kept, and the gap reads as zeros; Linux has no sharing modes.
    ASSERT_TRUE(f.OpenWriteExisting(dir.U16("a")) && f.Seek(10) && f.Write("!", 1));
    ASSERT_TRUE(f.OpenRead(dir.U16("a"), true) && other.OpenRead(dir.U16("a"), true));
    EXPECT_TRUE(f.Read(buffer, 4) == 4 && f.Read(buffer + 4, 9) == 7 && f.Read(buffer, 4) == 0 && !f.Write("x", 1));
    ASSERT_TRUE(f.Seek(1) && f.Read(buffer + 11, 2) == 2);  // from the start, not from where it was
    const int64_t big = (int64_t{5} << 30) + 3;  // sparse: costs no space
    ASSERT_TRUE(f.Create(dir.U16("big")) && f.Truncate(big) && f.Seek(big - 1) && f.Write("z", 1) && f.Length() == big);
    ASSERT_TRUE(f.OpenRead(dir.U16("big"), false) && f.Seek(big - 2) && f.Read(buffer + 13, 2) == 2);
    EXPECT_TRUE(FileLength(dir.U16("big")) == big && std::string(buffer, 15) == std::string("hello WO\0\0!el\0z", 15));
    ASSERT_TRUE(f.Create(dir.U16("a")) && FileLength(dir.U16("a")) == 0);  // creating again empties it
    f.Close();  // then, and after failed opens, every call fails
    EXPECT_FALSE(f.IsOpen() || f.OpenRead(dir.U16("none"), false) || f.OpenWriteExisting(dir.U16("none")) ||
                 f.Create(dir.U16("no/dir/f")) || f.Create(u"") || FileLength(dir.U16("none")) != -1);
    EXPECT_TRUE(f.Read(buffer, 1) == -1 && f.Length() == -1 && !f.Write("x", 1) && !f.Seek(0) && !f.Truncate(0));
}

TEST(FileSystem, ListingKindsMakingAndNormalizing) {
    TempDir dir;
    for (const char* name : {"file", "sub/inner", ".hidden", "caf\xC3\xA9"}) Write(dir / name, "x");
    // Links, which the walk never follows; "loop" leads to itself.
    for (auto& [at, to] : Names{{"link-file", "file"}, {"link-dir", "sub"}, {"dangling", "gone"}, {"loop", "loop"}})
        fs::create_symlink(dir / to, dir / at);
    ::mkfifo((dir / "fifo").c_str(), 0644);
    std::vector<DirEntry> entries;
    std::map<std::u16string, int> kinds;
    ASSERT_TRUE(ListDirectory(dir.U16() + u"/", &entries));
    for (const auto& e : entries) kinds[e.name] += 10 + e.kind;
    EXPECT_EQ(kinds, (std::map<std::u16string, int>{{u"file", 10}, {u"sub", 11}, {u".hidden", 10}, {u"caf\u00e9", 10},
                          {u"link-file", 10}, {u"link-dir", 12}, {u"dangling", 12}, {u"fifo", 12}, {u"loop", 12}}));
    ASSERT_TRUE(ListDirectory(dir.U16("sub"), &entries) && entries.size() == 1);  // replaces what was there
    EXPECT_FALSE(ListDirectory(dir.U16("none"), &entries) || ListDirectory(dir.U16("file"), &entries) ||
                 ListDirectory(u"", &entries) || GetPathKind(u"") != PathKind::Missing || PathExists(dir.U16("none")));
    using enum PathKind;
    for (const auto& [name, kind] : std::map<std::string, PathKind>{{"file", File}, {"link-file", File},
             {"fifo", Other}, {"sub", Directory}, {"none", Missing}, {"", Directory}})
        EXPECT_EQ(GetPathKind(dir.U16(name)), kind) << name;
    EXPECT_TRUE(PathExists(dir.U16("fifo")) && MakeDirectory(dir.U16("new")) && MakeDirectory(dir.U16("new/inner")));
    EXPECT_FALSE(MakeDirectory(dir.U16("new")) || MakeDirectory(dir.U16("x/y")) || MakeDirectory(u""));
    // Links resolved as far as the path exists, ".." after them, the rest as it reads; "-" for a failure.
    std::u16string normal, d = dir.U16();
    const Names normalized{{"/link-dir/../file", "/file"}, {"//sub/./x/../y/", "/sub/y"},
        {"/link-dir/inner/", "/sub/inner"}, {"/dangling/x", "/gone/x"}, {"/no/../link-file", "/file"}, {"/loop", "-"}};
    for (const auto& [i, o] : normalized)
        EXPECT_TRUE(NormalizePath(d + Utf8ToUtf16(i), &normal) ? normal == d + Utf8ToUtf16(o) : o == "-") << i;
    EXPECT_TRUE(NormalizePath(u"/", &normal) && normal == u"/" && !NormalizePath(u"relative", &normal));
}

TEST(FileSystem, FixedDiskAndFreeSpaceOfThePathOrItsAncestorAndTheirHooks) {
    TempDir dir;
    uint64_t bytes = 0;
    Texts asked;  // the hooks answer for every path till they are taken away
    SetFixedDiskOverride([&](const std::u16string& path) { return asked.push_back(path), path == u"D:\\In"; });
    SetFreeSpaceOverride([&](const std::u16string& p, uint64_t* b) { return asked.push_back(p), *b = 1ull << 32; });
    EXPECT_TRUE(IsFixedDisk(u"D:\\In") && !IsFixedDisk(u"/x") && FreeDiskBytes(u"", &bytes) && bytes == 1ull << 32);
    EXPECT_EQ(asked, (Texts{u"D:\\In", u"/x", u""}));
    SetFixedDiskOverride(nullptr), SetFreeSpaceOverride(nullptr);
    for (const char16_t* path : {u"", u"D:\\In", u"\\\\server\\share", u"/proc", u"/proc/x", u"/dev/shm/in/later"})
        EXPECT_FALSE(IsFixedDisk(path)) << Utf16ToUtf8(path);
    struct statfs type;  // ext4 is one
    EXPECT_TRUE(::statfs(dir.path.c_str(), &type) == 0 && (type.f_type != 0xEF53 || IsFixedDisk(dir.U16())));
    // A path not made yet is judged by its nearest ancestor; others write meanwhile.
    for (const std::u16string& path : {dir.U16(), dir.U16("not/yet/made")})
        EXPECT_TRUE(IsFixedDisk(path) == IsFixedDisk(dir.U16()) && FreeDiskBytes(path, &bytes) &&
                    std::abs(int64_t(bytes - fs::space(dir.path).available)) < 64 << 20) << Utf16ToUtf8(path);
    EXPECT_FALSE(FreeDiskBytes(u"", &bytes) || FreeDiskBytes(dir.U16(), nullptr));
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
    for (char c = 1; c != 0; ++c)  // every byte the page defines goes there and back, alone
        EXPECT_TRUE(AnsiToUtf16(&c, 1) == u"?" || Utf16ToAnsi(AnsiToUtf16(&c, 1)) == std::string(1, c)) << int(c);
}

TEST(Users, NamesHomesAndFolders) {
    const passwd* pw = ::getpwuid(::geteuid());
    std::u16string name, home, path;
    std::string p;  // the desktop first
    ASSERT_TRUE(pw && CurrentUserName(&name) && UserHome(name, &home) && UserHome(u"", &path) && path == home);
    ASSERT_TRUE(name == Utf8ToUtf16(pw->pw_name) && home == Utf8ToUtf16(pw->pw_dir) && IsNtFamily() == 1);
    ::setenv("TIVLO_LOGON_USER", pw->pw_name, 1);
    EXPECT_TRUE(LogonUserName(&path) && path == name && detail::XdgFolderInHome(0, pw->pw_dir, &p));
    EXPECT_TRUE(SpecialFolderPath(25, u"no-such-user", &path) && path == Utf8ToUtf16(p));  // the seat user's
    ::unsetenv("TIVLO_LOGON_USER");
    EXPECT_TRUE(SpecialFolderPath(40, name, &path) && path == home);
    EXPECT_FALSE(SpecialFolderPath(99, name, &path) || UserHome(u"no-such-user", &path));
    // Folders from user-dirs.dirs or their defaults; a root service takes only
    // those below the user's home that are the user's own (or not made yet).
    TempDir base;
    const std::string h = (base / "home").string();
    const uid_t me = ::geteuid();
    for (const char* made : {"home/Desktop", "outside"}) fs::create_directories(base / made);
    for (const char* link : {"home/Link", "home/Music"}) fs::create_directory_symlink(base / "outside", base / link);
    EXPECT_FALSE(detail::FolderBelowHome(h + "/Desktop", h, me + 1) || detail::FolderBelowHome(h, h, me) ||
                 detail::FolderBelowHome("/", "/", me) || detail::XdgFolderInHome(0, "", &p));
    using Pair = std::pair<std::string, std::string>;
    auto folders = [&](std::map<uint32_t, Pair> expected) {  // as is, and for root; "-" for none
        for (const auto& [csidl, want] : expected)
            EXPECT_EQ((Pair{detail::XdgFolderInHome(csidl, h + "/", &p) ? p : "-",
                            detail::ConfinedFolderInHome(csidl, "u", h, me, &p) ? p : "-"}), want) << csidl;
    };
    folders({{0, {h + "/Desktop", h + "/Desktop"}}, {16, {h + "/Desktop", h + "/Desktop"}}, {25, {"-", "-"}},
             {5, {h + "/Documents", h + "/Documents"}}, {13, {h + "/Music", "-"}}, {14, {h + "/Videos", h + "/Videos"}},
             {39, {h + "/Pictures", h + "/Pictures"}}, {40, {h, h}}, {26, {"-", "-"}}, {0xFFFFFFFE, {"-", "-"}}});
    Write(base / "home/.config/user-dirs.dirs",
          "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"/\"\nXDG_DOCUMENTS_DIR=\"/srv/docs/\"\n"
          "  XDG_MUSIC_DIR = \"${HOME}/Link\"\nXDG_VIDEOS_DIR=\"$HOME/My \\\"Videos\\\"/\"\n"
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
}

// Below a target root: base/root is the root, base/outside what it must never touch.
struct Trap : ::testing::Test {
    void SetUp() override {
        Write(base / "outside/secret", "secret");
        Write(root / "keep.txt", "keep");
        ASSERT_TRUE(dir.Open(root.u16string()));
    }
    // Everything outside the root, and the file beside the traps, as they are.
    Names Untouched() const {
        Names seen{{"keep.txt", Read(root / "keep.txt")}};
        for (const auto& e : fs::recursive_directory_iterator(base / "outside")) seen[e.path()] = Read(e.path());
        return seen;
    }
    TempDir base;
    const fs::path root = base / "root";
    TargetDir dir;
    TargetFile file;
};

TEST_F(Trap, NothingOutsideTheRootChanges) {
    for (auto& [at, to] : Names{{"d", "../outside"}, {"f", "../outside/secret"}, {"n", "../outside/new"}, {"m", ".."}})
        fs::create_symlink(to, root / at);
    for (const char* fifo : {"p", "q"}) ::mkfifo((root / fifo).c_str(), 0666);
    const int reader = ::open((root / "q").c_str(), O_RDONLY | O_NONBLOCK);  // "p" has none
    fs::create_hard_link(base / "outside/secret", root / "h");
    // Each name as a file to write or as directories to make, and whether that is done; the last one is
    // the directory made just before.
    const std::tuple<const char16_t*, bool, bool> attacks[] = {{u"/d/secret", false, false}, {u"/f", false, false},
        {u"/n", false, false}, {u"/p", false, false}, {u"/q", false, false}, {u"/../outside/secret", false, false},
        {u"/./", false, false}, {u"/m/outside/dir", true, false}, {u"/keep.txt/x", true, false},
        {u"/h", false, true}, {u"a//b/./c.bin", false, true}, {u"/e/f/", true, true}, {u"/e/f", false, false}};
    const auto before = Untouched();
    Texts logged;  // each refusal names what was refused
    SetLogSink(Collect, &logged);
    for (const auto& [relative, makeDirectories, accepted] : attacks) {
        SCOPED_TRACE(Utf16ToUtf8(relative));
        logged.clear();
        ::alarm(10);  // a writer blocked on a FIFO ends the program
        const bool ok = makeDirectories ? dir.MakeDirectories(relative)
                                        : dir.OpenFile(relative, &file) && file.Write("new", 3) && file.Close();
        ::alarm(0);
        EXPECT_TRUE(ok == accepted && Untouched() == before);
        EXPECT_EQ(logged.size() == 1 && logged[0].find(relative + std::u16string(u": ")) != std::u16string::npos &&
                      logged[0].ends_with(u" below the target root, refused!\n"), !accepted);
    }
    SetLogSink(nullptr, nullptr);
    EXPECT_TRUE(fs::is_directory(root / "e/f") && Read(root / "a/b/c.bin") == "new" && Read(root / "h") == "new");
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
    fs::create_hard_link(base / "outside/secret", root / "h");
    const auto descriptors = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    const auto open = descriptors();
    // A replacement discarded, directories made and walked again, the root opened again.
    ASSERT_TRUE(dir.OpenFile(u"h", &file) && file.Replaces() && file.Write("half", 4));
    file.Discard();  // a failed transfer: both names keep the old contents
    ASSERT_TRUE(dir.MakeDirectories(u"/m/n") && dir.MakeDirectories(u"m/n/") && dir.Open(root.u16string()));
    EXPECT_TRUE(descriptors() == open && Read(root / "h") == "secret" && fs::hard_link_count(root / "h") == 2);
    ASSERT_TRUE(dir.OpenFile(u"h", &file) && file.Write("new", 3));
    fs::remove(root / "h");
    fs::create_directory(root / "h");
    EXPECT_FALSE(file.Close() || file.Close());  // a directory took the name meanwhile; then nothing is open
    EXPECT_EQ(std::distance(fs::directory_iterator(root), {}), 5);  // and no replacement is left
    dir.Close();
    EXPECT_FALSE(dir.OpenFile(u"x", &file) || dir.MakeDirectories(u"x") || dir.Open(u"") || dir.Open(base.U16("none")));
}

TEST_F(Trap, RootWritesAsTheOwnerOfTheFolder) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    constexpr uid_t kNobody = 65534;
    // root-owned: left by a receiver that wrote as root; theirs: another user's file is replaced even if
    // writable, while the owner's are written in place.
    for (const char* name : {"root-owned", "theirs"}) Write(root / name, "old");
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
        go.Set(), other.join();  // a thread that was running keeps its own identity
    }
    Write(root / "after", "x");
    const std::map<std::string, uid_t> owners{{"a", kNobody}, {"a/b", kNobody}, {"a/f", kNobody}, {"theirs", kNobody},
                                              {"root-owned", kNobody}, {"other-thread", 0}, {"after", 0}};
    struct stat st;
    for (const auto& [n, uid] : owners) EXPECT_TRUE(::stat((root / n).c_str(), &st) == 0 && st.st_uid == uid) << n;
    EXPECT_FALSE(Read(root / "root-owned") != "new" || WriteIdentity(0, 0).Active() || WriteIdentity(-1, 0).Active());

    // A root not there yet is made as the owner of the folder above it; a
    // user's link as the root itself leads to a folder written as that user.
    ASSERT_TRUE(dir.Open((root / "new/deeper").u16string(), true));
    for (const char* n : {"new", "new/deeper"}) EXPECT_TRUE(::stat((root / n).c_str(), &st) == 0 && st.st_uid == kNobody) << n;
    fs::permissions(base / "outside", fs::perms::owner_all);
    fs::create_directory_symlink(base / "outside", root / "desk");
    ASSERT_EQ(::lchown((root / "desk").c_str(), kNobody, kNobody), 0);
    ASSERT_TRUE(dir.Open((root / "desk").u16string(), true) && dir.OwnerUid() == kNobody);
    WriteIdentity as(dir.OwnerUid(), dir.OwnerGid());
    EXPECT_FALSE(dir.OpenFile(u"/secret", &file) || dir.OpenFile(u"/planted", &file));
}

#endif

}  // namespace
}  // namespace tivlo::platform
