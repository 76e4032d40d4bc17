// What only the Windows layer has: sharing modes, hard links below a target root, drive types, the free-space
// fallback, the registry's logon user, shell folders, code page, ICMP resets, host windows, tivlo.dll's exports.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <bit>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/filesystem.h"
#include "platform/filesystem_win32_detail.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "platform/target_dir.h"
#include "platform/window.h"
#include "tivlo/tivlo.h"

namespace tivlo::platform {
namespace {

namespace fs = std::filesystem;

// A fresh directory in the temporary folder, removed with all it holds.
struct TempDir {
    static inline int made = 0;
    const fs::path path = fs::temp_directory_path() / ("tivlo-" + std::to_string(GetCurrentProcessId() * 100 + made++));
    std::error_code error;
    TempDir() { fs::create_directories(path); }
    ~TempDir() { fs::remove_all(path, error); }
    std::u16string operator/(const char16_t* name) const { return (path / name).u16string(); }
};

std::string ReadWhole(const std::u16string& path) {
    std::ifstream in(fs::path(path), std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<unreadable>";
}

TEST(Win32File, SharingModesOfTheThreeUsesAndWritesAtOffsets) {
    TempDir dir;
    File writer, a, b, c;
    ASSERT_TRUE(writer.Create(dir / u"f") && writer.Seek(8) && writer.Write("xy", 2));
    EXPECT_FALSE(a.OpenRead(dir / u"f", false));  // a file open for writing is exclusive
    ASSERT_TRUE(writer.OpenWriteExisting(dir / u"f") && writer.Length() == 10 && writer.Write("ab", 2));
    ASSERT_TRUE(writer.Truncate(9));
    writer.Close();
    EXPECT_EQ(ReadWhole(dir / u"f"), std::string("ab\0\0\0\0\0\0x", 9));  // the gap reads as zeros
    ASSERT_TRUE(a.OpenRead(dir / u"f", true));  // an exclusive read admits no other handle
    EXPECT_FALSE(b.OpenRead(dir / u"f", false) || b.OpenRead(dir / u"f", true) || b.OpenWriteExisting(dir / u"f"));
    ASSERT_TRUE(a.OpenRead(dir / u"f", false) && b.OpenRead(dir / u"f", false));  // streaming reads share with readers
    EXPECT_FALSE(c.OpenWriteExisting(dir / u"f") || c.OpenRead(dir / u"f", true));
    EXPECT_TRUE(FileLength(dir / u"f") == 9 && FileLength(dir / u"missing") == -1);
}

TEST(Win32TargetDir, HardLinksAreReplacedAndOtherKindsRefused) {
    TempDir outside, root;
    File f;
    ASSERT_TRUE(f.Create(outside / u"secret") && f.Write("secret", 6));
    f.Close();
    ASSERT_TRUE(CreateHardLinkW((root.path / "h").c_str(), (outside.path / "secret").c_str(), nullptr));
    ASSERT_TRUE(MakeDirectory(root / u"d"));
    TargetDir dir;
    TargetFile file;
    ASSERT_TRUE(dir.Open(root.path.u16string()) && dir.OpenFile(u"\\h", &file) && file.Replaces());
    ASSERT_TRUE(file.Write("new", 3) && file.Close());
    EXPECT_TRUE(ReadWhole(root / u"h") == "new" && ReadWhole(outside / u"secret") == "secret");
    EXPECT_EQ(GetFileAttributesW((root.path / "h").c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
    for (const std::u16string name : {u"\\d", u"\\..\\x", u"\\d/../..\\x", u"\\h\\x", u"\\x:s", u"\\.. \\x", u"\\"})
        EXPECT_FALSE(dir.OpenFile(name, &file)) << Utf16ToUtf8(name);
    EXPECT_FALSE(dir.MakeDirectories(u"\\h\\e"));
    ASSERT_TRUE(dir.OpenFile(u"d/f", &file) && !file.Replaces() && file.Close());  // '/' separates, as Windows reads it
    // Wine shows Linux's links (/proc/self) but makes none; its opens follow them: only a look by path sees them.
    const DWORD self = GetFileAttributesW(L"Z:\\proc\\self");
    const bool link = self != INVALID_FILE_ATTRIBUTES && (self & FILE_ATTRIBUTE_REPARSE_POINT);
    TargetDir proc;
    EXPECT_FALSE(link && proc.Open(u"Z:\\proc") &&
                 (proc.MakeDirectories(u"\\self") || proc.OpenFile(u"\\self\\x", &file)));
}

TEST(Win32FileSystem, ListingDriveTypesAndTheFreeSpaceFallback) {
    TempDir dir;
    File f;
    ASSERT_TRUE(MakeDirectory(dir / u"sub") && !MakeDirectory(dir / u"sub") && f.Create(dir / u"caf\u00e9"));
    std::vector<DirEntry> entries;
    for (const std::u16string& path : {dir.path.u16string(), dir.path.u16string() + u"\\"}) {  // no dots
        ASSERT_TRUE(ListDirectory(path, &entries) && entries.size() == 2);
        for (const auto& e : entries) EXPECT_EQ(e.name, e.kind == DirEntry::Directory ? u"sub" : u"caf\u00e9");
    }
    EXPECT_TRUE(!ListDirectory(dir / u"none", &entries) && GetPathKind(dir / u"none") == PathKind::Missing);
    EXPECT_TRUE(GetPathKind(dir / u"sub") == PathKind::Directory && GetPathKind(dir / u"caf\u00e9") == PathKind::File);
    wchar_t windows[MAX_PATH];
    ASSERT_GT(GetWindowsDirectoryW(windows, MAX_PATH), 2u);
    const std::wstring drive(windows, 3);
    const std::u16string drive16(drive.begin(), drive.end());
    EXPECT_TRUE(IsFixedDisk(drive16) && IsFixedDisk(drive16 + u"no\\such\\dir"));  // the system drive, a path on it
    EXPECT_FALSE(IsFixedDisk(u"\\\\server\\share\\in") || IsFixedDisk(u""));
    const DWORD none = ~GetLogicalDrives() & 0x03FFFFF8;  // a letter from D: on that names no drive
    EXPECT_FALSE(none && IsFixedDisk({char16_t(u'A' + std::countr_zero(none)), u':', u'\\'}));
    ULARGE_INTEGER available{}, total{}, totalFree{};
    DWORD spc = 0, bps = 0, freeClusters = 0, clusters = 0;
    ASSERT_TRUE(GetDiskFreeSpaceExW(drive.c_str(), &available, &total, &totalFree) &&
                GetDiskFreeSpaceW(drive.c_str(), &spc, &bps, &freeClusters, &clusters));
    uint64_t extended = 0, fallback = 0;
    ASSERT_TRUE(FreeDiskBytes(drive16 + u"target\\dir", &extended));
    EXPECT_NEAR(double(extended), double(available.QuadPart), 64.0 * 1024 * 1024);  // it moves while we look
    // Without the extended query the product is taken in 32 bits, after three lookups 200 ms apart.
    SetTimeScale(0.05), detail::SetExtendedFreeSpaceName("NoSuchFreeSpaceQuery");
    const uint64_t before = NowMs();
    const bool ok = FreeDiskBytes(drive16, &fallback);
    const uint64_t waited = NowMs() - before;
    detail::SetExtendedFreeSpaceName(nullptr), SetTimeScale(1.0);
    EXPECT_TRUE(ok && waited >= 600u && fallback <= 0xFFFFFFFFull);
    EXPECT_NEAR(double(fallback), double(uint32_t(freeClusters) * uint32_t(bps) * uint32_t(spc)), 64.0 * 1024 * 1024);
}

TEST(Win32System, AccountCodePageAndShellFolders) {
    std::u16string user, desktop, common, profile, home;
    EXPECT_TRUE(IsNtFamily() == 1 && CurrentUserName(&user) && !user.empty());
    if (GetACP() == 1252) {
        EXPECT_EQ(AnsiToUtf16("caf\xE9 \x80", 6), u"caf\u00e9 \u20ac");
        EXPECT_EQ(Utf16ToAnsi(u"caf\u00e9 \u20ac a\u4e2db"), "caf\xE9 \x80 a?b");  // what the page lacks: '?'
    }
    EXPECT_TRUE(AnsiToUtf16(nullptr, 3).empty() && Utf8ToUtf16("caf\xC3\xA9") == u"caf\u00e9");
    ASSERT_TRUE(SpecialFolderPath(0, u"", &desktop) && SpecialFolderPath(40, u"", &profile));
    EXPECT_TRUE(desktop.substr(1, 2) == u":\\" && desktop.starts_with(profile)) << "the desktop lies in the profile";
    EXPECT_TRUE(SpecialFolderPath(25, u"", &common) && !SpecialFolderPath(0x7E, u"", &common));
    EXPECT_TRUE(UserHome(u"someone", &home) && home == profile.substr(0, profile.rfind(u'\\') + 1) + u"someone");
}

// The logged-on user from the WinLogon values: the alternate values win, a domain other than the
// machine's own follows after a dot, a user or a domain alone is not enough, nor a value over 260 bytes.
TEST(Win32System, LogonUserFromTheRegistry) {
    const wchar_t* v[] = {L"AltDefaultUserName", L"DefaultUserName", L"AltDefaultDomainName", L"DefaultDomainName"};
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\WinLogon", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
    std::vector<std::optional<std::wstring>> saved;
    auto set = [&](int i, const std::wstring& text) {
        RegSetValueExW(key, v[i], 0, REG_SZ, (const BYTE*)text.c_str(), DWORD((text.size() + 1) * 2));
    };
    for (const wchar_t* value : v) {
        wchar_t buffer[512];
        DWORD size = sizeof buffer;
        const bool there = RegQueryValueExW(key, value, nullptr, nullptr, (BYTE*)buffer, &size) == ERROR_SUCCESS;
        saved.push_back(there ? std::optional<std::wstring>(std::wstring(buffer, size / 2 - 1)) : std::nullopt);
    }
    wchar_t computer[16] = {};
    DWORD n = 16;
    GetComputerNameW(computer, &n);
    SetEnvironmentVariableW(L"TIVLO_LOGON_USER", nullptr), _wputenv(L"TIVLO_LOGON_USER=");
    const struct { std::wstring alt, user, altDomain, domain; std::u16string expected; } cases[] = {  // "": none
        {L"alice", L"plain", CharLowerW(computer), L"CORP", u"alice"}, {L"", L"bob", L"", L"CORP", u"bob.CORP"},
        {L"", L"carol", L"", L"", u""}, {L"", L"", L"", L"CORP", u""},
        {L"", std::wstring(129, L'u'), L"", L"CORP", std::u16string(129, u'u') + u".CORP"},  // 260 bytes with the NUL
        {L"", std::wstring(130, L'u'), L"", L"CORP", u""}};
    for (const auto& c : cases) {
        int i = 0;
        for (const std::wstring& text : {c.alt, c.user, c.altDomain, c.domain})
            text.empty() ? (void)RegDeleteValueW(key, v[i++]) : set(i++, text);
        std::u16string name;
        EXPECT_EQ(LogonUserName(&name) ? name : u"", c.expected);
    }
    for (int i = 0; i < 4; ++i) saved[i] ? set(i, *saved[i]) : (void)RegDeleteValueW(key, v[i]);
    RegCloseKey(key);
}

TEST(Win32Socket, AnIcmpAnswerIsNoFailureAndSocketsStartAndReleaseWinsock) {
    const uint32_t loopback = ParseIPv4("127.0.0.1");
    {
        UdpSocket closed, s, peer;
        ASSERT_TRUE(closed.Open() && closed.Bind(loopback, 0));
        const uint16_t nobody = closed.LocalPort();
        closed.Close();
        ASSERT_TRUE(s.Open() && s.Bind(loopback, 0) && s.SendTo("x", 1, Endpoint{loopback, nobody}));
        Sleep(50);
        char buffer[8];  // the port-unreachable answer must not end the receive as a failure
        EXPECT_EQ(s.ReceiveFromTimeout(buffer, sizeof buffer, nullptr, 100), UdpSocket::kTimedOut);
        ASSERT_TRUE(peer.Open() && peer.SendTo("hello", 5, Endpoint{loopback, s.LocalPort()}));
        EXPECT_EQ(s.ReceiveFromTimeout(buffer, sizeof buffer, nullptr, 2000), 5);
        s.Close();
        EXPECT_TRUE(peer.SetReuseAddress());  // still started for the other socket
    }
    EXPECT_EQ(socket(AF_INET, SOCK_DGRAM, 0), INVALID_SOCKET);  // released after the last Close
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

std::vector<std::pair<UINT, LPARAM>> g_seen;
std::vector<std::u16string> g_texts;

LRESULT CALLBACK RecordProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message < WM_USER || message >= WM_APP) return DefWindowProcW(hwnd, message, wParam, lParam);
    g_seen.emplace_back(message, lParam);
    if (message == 1042) g_texts.emplace_back(reinterpret_cast<const char16_t*>(lParam));
    return 0;
}

void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

// Posted messages wait in the host's queue, in order; a sent one is handled while the sender waits.
// Names posted live in a ring of copies: a text equal to the latest shares its buffer, and a buffer
// is rewritten only after the ring went round.
TEST(Win32Window, MessagesReachTheHostsWindowNamesLiveInARingAndLibraryWindowsCarryAnyNumber) {
    WNDCLASSEXW wc{sizeof wc, 0, RecordProc, 0, 0, GetModuleHandleW(nullptr), {}, {}, {}, {}, L"TivloWin32Host", {}};
    RegisterClassExW(&wc);
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(hwnd, nullptr);
    const auto w = reinterpret_cast<uintptr_t>(hwnd);
    PostHostMessage(w, 1039, 3, 77);
    for (const char16_t* name : {u"first", u"first", u"b"}) PostHostText(w, 1042, 0, name);
    EXPECT_TRUE(g_seen.empty());  // nothing until the queue is read
    std::atomic<bool> sent{false};
    std::thread sender([&] { SendHostMessage(w, 1054, 112, 0x0100007F), sent = true; });
    for (DWORD start = GetTickCount(); !sent && GetTickCount() - start < 5000; Sleep(1)) Pump();
    sender.join();
    Pump();
    ASSERT_EQ(std::erase_if(g_seen, [](const auto& s) { return s == std::make_pair(1054u, LPARAM(0x0100007F)); }), 1u);
    ASSERT_EQ(g_seen.size(), 4u);  // the sent one may overtake posted ones; those keep their order
    EXPECT_TRUE(g_seen[0] == std::make_pair(UINT(1039), LPARAM(77)) && g_seen[1].second == g_seen[2].second);
    EXPECT_EQ(g_texts, (std::vector<std::u16string>{u"first", u"first", u"b"}));
    const LPARAM first = g_seen[1].second;
    for (char16_t i = 1; i < 254; ++i) PostHostText(w, 1042, 0, std::u16string(u"name") + i);
    Pump();
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(first)), u"first");  // 255 texts later, intact
    for (const char16_t* text : {u"wraps", u"again"}) PostHostText(w, 1042, 0, text);  // 256 texts: the ring goes round
    Pump();
    EXPECT_TRUE(g_seen[g_seen.size() - 2].second != first && g_seen.back().second == first);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(first)), u"again");
    PostHostMessage(0, 1040, 0, 0);  // window 0 is nobody: nothing lands in this thread's queue
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
    DestroyWindow(hwnd);
    std::vector<uint32_t> numbers;  // a window of the library carries any number unchanged, the system's too
    auto proc = [](void* s, uint32_t m, uintptr_t, intptr_t) { static_cast<std::vector<uint32_t>*>(s)->push_back(m); };
    const uintptr_t mine = CreateHostWindow(proc, &numbers);
    for (uint32_t m : {WM_QUIT, WM_SETTEXT}) PostHostMessage(mine, m, 0, 0);
    PostHostText(mine, 1042, 7, u"\\a\\b.txt");
    SendHostMessage(mine, WM_DESTROY, 0, 0);
    EXPECT_EQ(numbers, (std::vector<uint32_t>{WM_QUIT, WM_SETTEXT, 1042, WM_DESTROY}));
    EXPECT_TRUE(DestroyHostWindow(mine));
}

// The thirteen names with ordinals 1 to 13 in alphabetical order, resolved by the loader both ways to
// the same functions; and the selection rules of drive paths, which need no network.
TEST(Win32Dll, ExportsByNameAndOrdinalAndTheSelectionRules) {
    wchar_t exe[MAX_PATH];  // tests/windows/x.exe and src/api/tivlo.dll of one build
    HMODULE dll = LoadLibraryW((fs::path(std::wstring(exe, GetModuleFileNameW(nullptr, exe, MAX_PATH))).parent_path() /
                                L"..\\..\\src\\api\\tivlo.dll").c_str());
    ASSERT_NE(dll, nullptr);
    const char* fn[] = {"DeInitClient", "DeInitServer", "GetErrInfo", "GetIsHasInvalidChar", "InitClient", "InitServer",
        "SetSelectFiles", "SetSubDirTrans", "SetTargetPath", "StartReceive", "StartSend", "StopReceive", "StopSend"};
    for (int i = 0; i < 13; ++i) {
        FARPROC byName = GetProcAddress(dll, fn[i]);
        EXPECT_TRUE(byName != nullptr && byName == GetProcAddress(dll, MAKEINTRESOURCEA(i + 1))) << fn[i];
    }
    auto select = (int (*)(const TivloStringArray*))(void*)GetProcAddress(dll, fn[6]);
    const std::pair<const char16_t*, int> cases[] = {{u"C:", 3}, {u"\\\\server\\share", 4}, {u"/tmp/x", 4},
        {u"C:\\a/b", 5}, {u"C:\\x:y", 5}, {u"C:\\a*b", 5}, {u"C:\\a|b", 5}};
    for (const auto& [path, result] : cases) {
        const TivloStringArray array{1, &path};
        EXPECT_EQ(select(&array), result) << Utf16ToUtf8(path);
    }
    FreeLibrary(dll);
}

}  // namespace
}  // namespace tivlo::platform
