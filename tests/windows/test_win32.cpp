// What only the Windows platform layer has: sharing modes, drive types and
// the free-space fallback, the registry's logged-on user, the shell's
// folders, the ANSI code page, Winsock's ICMP resets, and messages to a
// window the host made itself.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/filesystem.h"
#include "platform/filesystem_win32_detail.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "platform/system_win32_detail.h"
#include "platform/target_dir.h"
#include "platform/window.h"

namespace tivlo::platform {
namespace {

std::u16string U16(const std::wstring& w) { return std::u16string(w.begin(), w.end()); }

// A fresh directory under the temporary folder, removed with its files.
class TempDir {
public:
    TempDir() {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        path_ = std::wstring(base) + L"tivlo-win32-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(counter_++);
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TempDir() {
        WIN32_FIND_DATAW f;
        HANDLE h = FindFirstFileW((path_ + L"\\*").c_str(), &f);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                std::wstring child = path_ + L"\\" + f.cFileName;
                if (f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    RemoveDirectoryW(child.c_str());
                } else {
                    DeleteFileW(child.c_str());
                }
            } while (FindNextFileW(h, &f));
            FindClose(h);
        }
        RemoveDirectoryW(path_.c_str());
    }
    std::u16string Child(const wchar_t* name) const { return U16(path_ + L"\\" + name); }
    std::u16string Path() const { return U16(path_); }

private:
    static inline int counter_ = 0;
    std::wstring path_;
};

// ---- Files: the sharing modes of the three uses ----

TEST(Win32File, ExclusiveReadAdmitsNoOtherHandle) {
    TempDir dir;
    const auto path = dir.Child(L"a.bin");
    File writer;
    ASSERT_TRUE(writer.Create(path));
    ASSERT_TRUE(writer.Write("abcdef", 6));
    // A file open for writing is exclusive: nobody reads it meanwhile.
    File reader;
    EXPECT_FALSE(reader.OpenRead(path, false));
    writer.Close();

    File exclusive;
    ASSERT_TRUE(exclusive.OpenRead(path, true));
    File other;
    EXPECT_FALSE(other.OpenRead(path, false));
    EXPECT_FALSE(other.OpenRead(path, true));
    EXPECT_FALSE(other.OpenWriteExisting(path));
    EXPECT_EQ(exclusive.Length(), 6);
    exclusive.Close();
    EXPECT_TRUE(other.OpenRead(path, true));  // free again once closed
}

TEST(Win32File, StreamingReadSharesWithReadersOnly) {
    TempDir dir;
    const auto path = dir.Child(L"b.bin");
    {
        File f;
        ASSERT_TRUE(f.Create(path));
        ASSERT_TRUE(f.Write("0123456789", 10));
    }
    File first, second, writer, exclusive;
    ASSERT_TRUE(first.OpenRead(path, false));
    EXPECT_TRUE(second.OpenRead(path, false));
    EXPECT_FALSE(writer.OpenWriteExisting(path));
    EXPECT_FALSE(exclusive.OpenRead(path, true));  // exclusive wants nobody else
    char buffer[4] = {};
    ASSERT_TRUE(second.Seek(6));
    EXPECT_EQ(second.Read(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "6789");
    EXPECT_EQ(second.Read(buffer, 4), 0);  // at the end
}

TEST(Win32File, WriteAtOffsetsKeepsContentsAndTruncates) {
    TempDir dir;
    const auto path = dir.Child(L"c.bin");
    {
        File f;
        ASSERT_TRUE(f.Create(path));
        ASSERT_TRUE(f.Seek(8));  // past the end: the gap reads as zeros
        ASSERT_TRUE(f.Write("xy", 2));
    }
    {
        File f;
        ASSERT_TRUE(f.OpenWriteExisting(path));
        EXPECT_EQ(f.Length(), 10);
        ASSERT_TRUE(f.Write("ab", 2));
        ASSERT_TRUE(f.Truncate(9));
        EXPECT_EQ(f.Length(), 9);
    }
    File r;
    ASSERT_TRUE(r.OpenRead(path, false));
    char buffer[16] = {};
    ASSERT_EQ(r.Read(buffer, sizeof buffer), 9);
    EXPECT_EQ(std::string(buffer, 9), std::string("ab\0\0\0\0\0\0x", 9));
    EXPECT_EQ(FileLength(path), 9);
    EXPECT_EQ(FileLength(dir.Child(L"missing")), -1);
}

// ---- Writing below a target root: nothing through another name ----

std::wstring W(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

std::string ReadWhole(const std::u16string& path) {
    File f;
    char buffer[64] = {};
    const int64_t n = f.OpenRead(path, false) ? f.Read(buffer, sizeof buffer) : -1;
    return n < 0 ? "<unreadable>" : std::string(buffer, size_t(n));
}

TEST(Win32TargetDir, HardLinksAreReplacedAndOtherKindsRefused) {
    TempDir outside, root;
    const auto secret = outside.Child(L"secret");
    File f;
    ASSERT_TRUE(f.Create(secret) && f.Write("secret", 6));
    f.Close();
    ASSERT_TRUE(CreateHardLinkW(W(root.Child(L"h")).c_str(), W(secret).c_str(), nullptr));
    ASSERT_TRUE(MakeDirectory(root.Child(L"d")));
    TargetDir dir;
    ASSERT_TRUE(dir.Open(root.Path()));
    TargetFile file;
    ASSERT_TRUE(dir.OpenFile(u"\\h", &file));
    EXPECT_TRUE(file.Replaces());
    ASSERT_TRUE(file.Write("new", 3) && file.Close());
    EXPECT_EQ(ReadWhole(root.Child(L"h")), "new");
    EXPECT_EQ(ReadWhole(secret), "secret");
    EXPECT_EQ(GetFileAttributesW(W(root.Child(L"h")).c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
    for (const std::u16string name : {u"\\d", u"\\..\\x", u"\\d/../..\\x", u"\\h\\x", u"\\x:s", u"\\.. \\x"})
        EXPECT_FALSE(dir.OpenFile(name, &file)) << Utf16ToUtf8(name);
    EXPECT_FALSE(dir.MakeDirectories(u"\\h\\e"));
    ASSERT_TRUE(dir.OpenFile(u"d/f", &file));  // '/' separates, as the system reads it
    EXPECT_FALSE(file.Replaces());
    file.Close();
    EXPECT_EQ(ReadWhole(root.Child(L"d\\f")), "");
    DeleteFileW(W(root.Child(L"d\\f")).c_str());
    // Links: Wine shows Linux's own (/proc/self is one) but cannot make any;
    // its opens go through them, so only the second look by path sees them.
    const DWORD self = GetFileAttributesW(L"Z:\\proc\\self");
    TargetDir proc;
    if (self != INVALID_FILE_ATTRIBUTES && (self & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && proc.Open(u"Z:\\proc")) {
        EXPECT_FALSE(proc.MakeDirectories(u"\\self"));
        EXPECT_FALSE(proc.OpenFile(u"\\self\\environ", &file));
    }
}

// ---- Directories, drive types, free space ----

TEST(Win32FileSystem, ListsFilesAndDirectoriesWithoutDots) {
    TempDir dir;
    ASSERT_TRUE(MakeDirectory(dir.Child(L"sub")));
    EXPECT_FALSE(MakeDirectory(dir.Child(L"sub")));  // exists already
    {
        File f;
        ASSERT_TRUE(f.Create(dir.Child(L"caf\u00e9.txt")));
    }
    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDirectory(dir.Path(), &entries));
    ASSERT_EQ(entries.size(), 2u);
    int files = 0, dirs = 0;
    for (const auto& e : entries) {
        if (e.kind == DirEntry::File) {
            ++files;
            EXPECT_EQ(e.name, u"caf\u00e9.txt");
        }
        if (e.kind == DirEntry::Directory) {
            ++dirs;
            EXPECT_EQ(e.name, u"sub");
        }
    }
    EXPECT_EQ(files, 1);
    EXPECT_EQ(dirs, 1);
    // A trailing separator makes no difference.
    ASSERT_TRUE(ListDirectory(dir.Path() + u"\\", &entries));
    EXPECT_EQ(entries.size(), 2u);
    EXPECT_FALSE(ListDirectory(dir.Child(L"nothing-here"), &entries));
    EXPECT_EQ(GetPathKind(dir.Child(L"sub")), PathKind::Directory);
    EXPECT_EQ(GetPathKind(dir.Child(L"caf\u00e9.txt")), PathKind::File);
    EXPECT_EQ(GetPathKind(dir.Child(L"nothing-here")), PathKind::Missing);
}

TEST(Win32FileSystem, OnlyAFixedDriveIsFixed) {
    wchar_t windows[MAX_PATH];
    ASSERT_GT(GetWindowsDirectoryW(windows, MAX_PATH), 2u);
    // The system drive, given as a root or as any path on it.
    EXPECT_TRUE(IsFixedDisk(U16(std::wstring(windows, 3))));
    EXPECT_TRUE(IsFixedDisk(U16(windows) + u"\\no\\such\\dir"));
    EXPECT_FALSE(IsFixedDisk(u"\\\\server\\share\\in"));  // a network path
    EXPECT_FALSE(IsFixedDisk(u""));
    // A drive letter that names nothing.
    DWORD drives = GetLogicalDrives();
    for (int d = 25; d >= 3; --d) {
        if ((drives & (1u << d)) == 0) {
            std::u16string root = {char16_t(u'A' + d), u':', u'\\'};
            EXPECT_FALSE(IsFixedDisk(root));
            break;
        }
    }
}

TEST(Win32FileSystem, FreeSpaceFromTheExtendedQueryAndFromTheFallback) {
    wchar_t windows[MAX_PATH];
    ASSERT_GT(GetWindowsDirectoryW(windows, MAX_PATH), 2u);
    const std::wstring drive(windows, 3);
    ULARGE_INTEGER available{}, total{}, totalFree{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(drive.c_str(), &available, &total, &totalFree));
    DWORD spc = 0, bps = 0, freeClusters = 0, clusters = 0;
    ASSERT_TRUE(GetDiskFreeSpaceW(drive.c_str(), &spc, &bps, &freeClusters, &clusters));

    uint64_t extended = 0;
    ASSERT_TRUE(FreeDiskBytes(U16(drive) + u"target\\dir", &extended));
    // Free space moves while we look; a few MiB of slack.
    EXPECT_NEAR(double(extended), double(available.QuadPart), 64.0 * 1024 * 1024);

    // Without the extended query the product is taken in 32 bits.
    SetTimeScale(0.05);  // the lookup's three tries sleep 200 ms each
    detail::SetExtendedFreeSpaceName("NoSuchFreeSpaceQuery");
    uint64_t fallback = 0;
    const uint64_t before = NowMs();
    const bool ok = FreeDiskBytes(U16(drive), &fallback);
    const uint64_t waited = NowMs() - before;
    detail::SetExtendedFreeSpaceName(nullptr);
    SetTimeScale(1.0);
    ASSERT_TRUE(ok);
    EXPECT_GE(waited, 600u);  // three failed lookups, 200 ms apart
    EXPECT_LE(fallback, 0xFFFFFFFFull);
    const uint32_t product = uint32_t(freeClusters) * uint32_t(bps) * uint32_t(spc);
    EXPECT_NEAR(double(fallback), double(product), 64.0 * 1024 * 1024);
}

// ---- System: NT flag, code page, registry, shell folders ----

TEST(Win32System, NtFamilyAndAccountName) {
    EXPECT_EQ(IsNtFamily(), 1u);
    std::u16string user;
    ASSERT_TRUE(CurrentUserName(&user));
    EXPECT_FALSE(user.empty());
}

TEST(Win32System, AnsiCodePageConversions) {
    if (GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << GetACP();
    const char bytes[] = "caf\xE9 \x80";  // e acute, euro sign
    EXPECT_EQ(AnsiToUtf16(bytes, 6), u"caf\u00e9 \u20ac");
    EXPECT_EQ(Utf16ToAnsi(u"caf\u00e9 \u20ac"), std::string("caf\xE9 \x80"));
    // A character the page lacks becomes its default character.
    EXPECT_EQ(Utf16ToAnsi(u"a\u4e2db"), "a?b");
    EXPECT_EQ(AnsiToUtf16(nullptr, 3), u"");
    EXPECT_EQ(Utf8ToUtf16("caf\xC3\xA9"), u"caf\u00e9");
    EXPECT_EQ(Utf16ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
}

// Writes the WinLogon values for one case and restores the key afterwards.
class WinLogonRegistry : public ::testing::Test {
protected:
    static constexpr const wchar_t* kKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\WinLogon";
    static constexpr const wchar_t* kValues[] = {L"AltDefaultUserName", L"DefaultUserName", L"AltDefaultDomainName",
                                                 L"DefaultDomainName"};

    void SetUp() override {
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key_,
                                  nullptr),
                  ERROR_SUCCESS);
        for (const wchar_t* v : kValues) {
            wchar_t buffer[512];
            DWORD size = sizeof buffer;
            DWORD type = 0;
            saved_.push_back(RegQueryValueExW(key_, v, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) ==
                                     ERROR_SUCCESS
                                 ? std::optional<std::wstring>(std::wstring(buffer, size / sizeof(wchar_t)))
                                 : std::nullopt);
            RegDeleteValueW(key_, v);
        }
        wchar_t computer[16] = {};
        DWORD n = 16;
        GetComputerNameW(computer, &n);
        computer_ = computer;
        SetEnvironmentVariableW(L"TIVLO_LOGON_USER", nullptr);
        _wputenv(L"TIVLO_LOGON_USER=");
    }
    void TearDown() override {
        for (size_t i = 0; i < saved_.size(); ++i) {
            RegDeleteValueW(key_, kValues[i]);
            if (saved_[i]) Set(kValues[i], *saved_[i]);
        }
        RegCloseKey(key_);
    }
    void Set(const wchar_t* value, const std::wstring& text) {
        RegSetValueExW(key_, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       DWORD((text.size() + 1) * sizeof(wchar_t)));
    }
    static std::wstring Lower(std::wstring s) {
        for (auto& c : s) c = towlower(c);
        return s;
    }
    HKEY key_ = nullptr;
    std::vector<std::optional<std::wstring>> saved_;
    std::wstring computer_;
};

TEST_F(WinLogonRegistry, AlternateValuesWinAndTheOwnDomainIsLeftOut) {
    Set(L"DefaultUserName", L"plain");
    Set(L"AltDefaultUserName", L"alice");
    Set(L"DefaultDomainName", L"CORP");
    Set(L"AltDefaultDomainName", Lower(computer_));  // the machine itself, in other case
    std::u16string name;
    ASSERT_TRUE(LogonUserName(&name));
    EXPECT_EQ(name, u"alice");
}

TEST_F(WinLogonRegistry, AnotherDomainIsAppendedAfterADot) {
    Set(L"DefaultUserName", L"bob");
    Set(L"DefaultDomainName", L"CORP");
    std::u16string name;
    ASSERT_TRUE(LogonUserName(&name));
    EXPECT_EQ(name, u"bob.CORP");
}

TEST_F(WinLogonRegistry, NoDomainOrNoUserFails) {
    Set(L"DefaultUserName", L"carol");
    std::u16string name;
    EXPECT_FALSE(LogonUserName(&name));
    RegDeleteValueW(key_, L"DefaultUserName");
    Set(L"DefaultDomainName", L"CORP");
    EXPECT_FALSE(LogonUserName(&name));
}

TEST_F(WinLogonRegistry, AValueLongerThan260BytesIsUnreadable) {
    Set(L"DefaultDomainName", L"CORP");
    Set(L"DefaultUserName", std::wstring(129, L'u'));  // 258 bytes and the terminator: 260
    std::u16string name;
    ASSERT_TRUE(LogonUserName(&name));
    EXPECT_EQ(name, std::u16string(129, u'u') + u".CORP");
    Set(L"DefaultUserName", std::wstring(130, L'u'));  // 262 bytes
    EXPECT_FALSE(LogonUserName(&name));
}

TEST(Win32System, ShellFoldersAndUnknownNumbers) {
    std::u16string desktop, common, profile;
    ASSERT_TRUE(SpecialFolderPath(0, u"", &desktop));
    EXPECT_EQ(desktop.substr(1, 2), u":\\");
    ASSERT_TRUE(SpecialFolderPath(40, u"", &profile));
    EXPECT_EQ(desktop.compare(0, profile.size(), profile), 0) << "the desktop lies in the profile";
    EXPECT_TRUE(SpecialFolderPath(25, u"", &common));
    EXPECT_FALSE(SpecialFolderPath(0x7E, u"", &common));  // no such folder
    std::u16string home;
    ASSERT_TRUE(UserHome(u"someone", &home));
    EXPECT_EQ(home, profile.substr(0, profile.rfind(u'\\') + 1) + u"someone");
}

// ---- Sockets: Winsock specifics ----

TEST(Win32Socket, AnIcmpAnswerToAnEarlierSendIsNoFailure) {
    const uint32_t loopback = ParseIPv4("127.0.0.1");
    UdpSocket closedPort;
    ASSERT_TRUE(closedPort.Open());
    ASSERT_TRUE(closedPort.Bind(loopback, 0));
    const uint16_t nobody = closedPort.LocalPort();
    closedPort.Close();

    UdpSocket s;
    ASSERT_TRUE(s.Open());
    ASSERT_TRUE(s.Bind(loopback, 0));
    ASSERT_TRUE(s.SendTo("x", 1, Endpoint{loopback, nobody}));
    Sleep(50);
    char buffer[8];
    Endpoint from;
    // The port-unreachable answer must not end the receive as a failure.
    EXPECT_EQ(s.ReceiveFromTimeout(buffer, sizeof buffer, &from, 100), UdpSocket::kTimedOut);
    UdpSocket peer;
    ASSERT_TRUE(peer.Open());
    ASSERT_TRUE(peer.SendTo("hello", 5, Endpoint{loopback, s.LocalPort()}));
    EXPECT_EQ(s.ReceiveFromTimeout(buffer, sizeof buffer, &from, 2000), 5);
}

TEST(Win32Socket, EverySocketStartsAndReleasesTheSocketLibrary) {
    // Open starts Winsock itself: no WSAStartup of the caller is needed, and
    // after the last Close the library is released again.
    {
        UdpSocket s;
        ASSERT_TRUE(s.Open());
        UdpSocket t;
        ASSERT_TRUE(t.Open());
        s.Close();
        EXPECT_TRUE(t.SetReuseAddress());  // still started for t
    }
    SOCKET raw = socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(raw, INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

// ---- Windows of the host ----

struct HostRecord {
    std::atomic<int> posted{0};
    std::vector<std::pair<UINT, LPARAM>> seen;
    std::vector<std::u16string> texts;
};
HostRecord* g_record = nullptr;

LRESULT CALLBACK RecordProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_USER && message < WM_APP) {
        g_record->seen.emplace_back(message, lParam);
        if (message == 1042) g_record->texts.emplace_back(reinterpret_cast<const char16_t*>(lParam));
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

// The host's own window on the host's thread: posted messages wait in its
// queue, a sent message is handled while the sender waits.
TEST(Win32Window, MessagesReachAWindowOfTheHost) {
    HostRecord record;
    g_record = &record;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = RecordProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TivloWin32TestHost";
    RegisterClassExW(&wc);
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(hwnd, nullptr);
    const auto window = reinterpret_cast<uintptr_t>(hwnd);

    PostHostMessage(window, 1039, 3, 77);
    PostHostText(window, 1042, 0, u"\\docs\\a.txt");
    PostHostText(window, 1042, 0, u"\\docs\\a.txt");
    PostHostText(window, 1042, 0, u"\\docs\\b.txt");
    EXPECT_TRUE(record.seen.empty());  // posted: nothing until the queue is read
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        SendHostMessage(window, 1054, 112, 0x0100007F);
        sent = true;
    });
    // The sent message arrives while the queue is read; the sender waits for it.
    MSG msg;
    const DWORD start = GetTickCount();
    while (!sent.load() && GetTickCount() - start < 5000) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        Sleep(1);
    }
    sender.join();
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    // A sent message may overtake posted ones (Windows hands sent messages
    // over first); the posted ones keep their order.
    ASSERT_EQ(record.seen.size(), 5u);
    std::vector<std::pair<UINT, LPARAM>> posted;
    int sentSeen = 0;
    for (const auto& s : record.seen) {
        if (s.first == 1054) {
            ++sentSeen;
            EXPECT_EQ(s.second, 0x0100007F);
        } else {
            posted.push_back(s);
        }
    }
    EXPECT_EQ(sentSeen, 1);
    ASSERT_EQ(posted.size(), 4u);
    EXPECT_EQ(posted[0].first, 1039u);
    EXPECT_EQ(posted[0].second, 77);
    EXPECT_EQ(record.texts, (std::vector<std::u16string>{u"\\docs\\a.txt", u"\\docs\\a.txt", u"\\docs\\b.txt"}));
    // Window 0 is nobody: no message lands in this thread's own queue.
    PostHostMessage(0, 1040, 0, 0);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
    DestroyWindow(hwnd);
    g_record = nullptr;
}

// Names posted to a window of the host live in a ring of copies: a text
// equal to the latest one shares its buffer, and a buffer is rewritten only
// after the ring went round.
TEST(Win32Window, NameCopiesStayValidForARoundOfTheRing) {
    HostRecord record;
    g_record = &record;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = RecordProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TivloWin32TestRing";
    RegisterClassExW(&wc);
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(hwnd, nullptr);
    const auto w = reinterpret_cast<uintptr_t>(hwnd);
    auto pump = [] {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    };
    PostHostText(w, 1042, 0, u"first");
    PostHostText(w, 1042, 0, u"first");
    for (int i = 0; i < 254; ++i)
        PostHostText(w, 1042, 0, u"name" + std::u16string(1, char16_t(u'A' + i % 26)) + char16_t(u'0' + i / 26));
    pump();
    ASSERT_EQ(record.seen.size(), 256u);
    const auto first = record.seen[0].second;
    EXPECT_EQ(record.seen[1].second, first);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(first)), u"first");  // 254 texts later, intact
    PostHostText(w, 1042, 0, u"wraps");  // 256 distinct texts: the ring is full
    PostHostText(w, 1042, 0, u"again");  // and goes round
    pump();
    ASSERT_EQ(record.seen.size(), 258u);
    EXPECT_NE(record.seen[256].second, first);
    EXPECT_EQ(record.seen[257].second, first);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(first)), u"again");
    DestroyWindow(hwnd);
    g_record = nullptr;
}

// A window made by the library carries any message number unchanged (also
// the system's own) and hands the procedure its own copy of a text.
TEST(Win32Window, LibraryWindowsCarrySystemNumbersAndOwnTexts) {
    struct Seen {
        std::vector<uint32_t> numbers;
        std::vector<std::u16string> texts;
    } seen;
    auto proc = [](void* context, uint32_t message, uintptr_t wParam, intptr_t lParam) {
        auto* s = static_cast<Seen*>(context);
        s->numbers.push_back(message);
        if (wParam == 7) s->texts.emplace_back(reinterpret_cast<const char16_t*>(lParam));
    };
    uintptr_t w = CreateHostWindow(proc, &seen);
    ASSERT_NE(w, 0u);
    PostHostMessage(w, WM_QUIT, 0, 0);
    PostHostMessage(w, WM_SETTEXT, 0, 0);
    PostHostText(w, 1042, 7, u"\\a\\b.txt");
    SendHostMessage(w, WM_DESTROY, 0, 0);
    EXPECT_EQ(seen.numbers, (std::vector<uint32_t>{WM_QUIT, WM_SETTEXT, 1042, WM_DESTROY}));
    EXPECT_EQ(seen.texts, std::vector<std::u16string>{u"\\a\\b.txt"});
    EXPECT_TRUE(DestroyHostWindow(w));
}

}  // namespace
}  // namespace tivlo::platform
