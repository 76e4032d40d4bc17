// Files, directory listing, kinds, drive type and free space.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/filesystem.h"
#include "platform/system.h"

namespace tivlo::platform {
namespace {

namespace fs = std::filesystem;

// A fresh directory under /tmp, removed with everything in it.
class TempTree : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tivlo-platform-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    std::u16string Path(const std::string& relative) const {
        return Utf8ToUtf16(root_ + "/" + relative);
    }
    std::string root_;
};

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary);
    out << contents;
}

std::string ReadAll(const std::u16string& path) {
    File f;
    if (!f.OpenRead(path, false)) {
        return "<unreadable>";
    }
    std::string out(1024, '\0');
    int64_t n = f.Read(out.data(), out.size());
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

using FileTest = TempTree;

TEST_F(FileTest, CreateWriteSeekReadTruncate) {
    File f;
    EXPECT_FALSE(f.IsOpen());
    ASSERT_TRUE(f.Create(Path("a.bin")));
    EXPECT_TRUE(f.IsOpen());
    EXPECT_TRUE(f.Write("hello world", 11));
    EXPECT_EQ(f.Length(), 11);
    ASSERT_TRUE(f.Seek(6));
    EXPECT_TRUE(f.Write("WORLD", 5));
    ASSERT_TRUE(f.Truncate(8));
    EXPECT_EQ(f.Length(), 8);
    f.Close();
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(ReadAll(Path("a.bin")), "hello WO");
    EXPECT_EQ(FileLength(Path("a.bin")), 8);

    // Writing an existing file keeps what is there.
    ASSERT_TRUE(f.OpenWriteExisting(Path("a.bin")));
    ASSERT_TRUE(f.Seek(10));  // past the end: the gap reads as zeros
    EXPECT_TRUE(f.Write("!", 1));
    f.Close();
    EXPECT_EQ(ReadAll(Path("a.bin")), std::string("hello WO\0\0!", 11));

    // Creating again empties it.
    ASSERT_TRUE(f.Create(Path("a.bin")));
    f.Close();
    EXPECT_EQ(FileLength(Path("a.bin")), 0);
}

TEST_F(FileTest, ReadsToTheEndThenZero) {
    WriteFile(root_ + "/r.txt", "abcdef");
    File f;
    ASSERT_TRUE(f.OpenRead(Path("r.txt"), true));
    char buffer[4];
    EXPECT_EQ(f.Read(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_EQ(f.Read(buffer, 4), 2);
    EXPECT_EQ(f.Read(buffer, 4), 0);
    ASSERT_TRUE(f.Seek(1));
    EXPECT_EQ(f.Read(buffer, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), "bc");
    EXPECT_FALSE(f.Write("x", 1));  // opened for reading
    // A second reader opens even beside an "exclusive" one: Linux has no
    // mandatory sharing modes.
    File other;
    EXPECT_TRUE(other.OpenRead(Path("r.txt"), true));
}

TEST_F(FileTest, MissingFilesAndClosedHandlesFail) {
    File f;
    EXPECT_FALSE(f.OpenRead(Path("missing"), false));
    EXPECT_FALSE(f.OpenWriteExisting(Path("missing")));
    EXPECT_FALSE(PathExists(Path("missing")));  // not created by the attempt
    EXPECT_FALSE(f.Create(Path("no/such/dir/file")));
    EXPECT_FALSE(f.Create(u""));
    EXPECT_EQ(FileLength(Path("missing")), -1);
    char c;
    EXPECT_EQ(f.Read(&c, 1), -1);
    EXPECT_FALSE(f.Write("x", 1));
    EXPECT_FALSE(f.Seek(0));
    EXPECT_EQ(f.Length(), -1);
    EXPECT_FALSE(f.Truncate(0));
}

TEST_F(FileTest, OffsetsBeyondFourGigabytes) {
    const int64_t big = (int64_t{5} << 30) + 3;
    File f;
    ASSERT_TRUE(f.Create(Path("sparse")));
    ASSERT_TRUE(f.Truncate(big));  // sparse: costs no space
    EXPECT_EQ(f.Length(), big);
    ASSERT_TRUE(f.Seek(big - 1));
    EXPECT_TRUE(f.Write("z", 1));
    EXPECT_EQ(f.Length(), big);
    f.Close();
    EXPECT_EQ(FileLength(Path("sparse")), big);
    ASSERT_TRUE(f.OpenRead(Path("sparse"), false));
    ASSERT_TRUE(f.Seek(big - 2));
    char two[2];
    ASSERT_EQ(f.Read(two, 2), 2);
    EXPECT_EQ(two[0], '\0');
    EXPECT_EQ(two[1], 'z');
}

TEST_F(FileTest, UnicodeNames) {
    std::u16string name = Path("caf\u00e9 \u20ac \U0001F600.txt");
    File f;
    ASSERT_TRUE(f.Create(name));
    EXPECT_TRUE(f.Write("u", 1));
    f.Close();
    EXPECT_TRUE(fs::exists(root_ + "/caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80.txt"));
    EXPECT_EQ(GetPathKind(name), PathKind::File);
}

using DirectoryTest = TempTree;

TEST_F(DirectoryTest, ListsEveryEntryWithItsKind) {
    WriteFile(root_ + "/file.txt", "1");
    ASSERT_EQ(::mkdir((root_ + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(::symlink((root_ + "/file.txt").c_str(), (root_ + "/link-to-file").c_str()), 0);
    ASSERT_EQ(::symlink((root_ + "/sub").c_str(), (root_ + "/link-to-dir").c_str()), 0);
    ASSERT_EQ(::symlink((root_ + "/gone").c_str(), (root_ + "/dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo((root_ + "/fifo").c_str(), 0644), 0);
    WriteFile(root_ + "/.hidden", "h");
    WriteFile(root_ + "/caf\xC3\xA9", "e");
    int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string sockPath = root_ + "/sock";
    std::strncpy(addr.sun_path, sockPath.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDirectory(Utf8ToUtf16(root_), &entries));
    ::close(sock);
    std::map<std::u16string, DirEntry::Kind> kinds;
    for (const auto& e : entries) {
        EXPECT_TRUE(kinds.emplace(e.name, e.kind).second) << "listed twice";
    }
    std::map<std::u16string, DirEntry::Kind> expected = {
        {u"file.txt", DirEntry::File},       {u"sub", DirEntry::Directory},
        {u"link-to-file", DirEntry::File},   {u"link-to-dir", DirEntry::Other},
        {u"dangling", DirEntry::Other},      {u"fifo", DirEntry::Other},
        {u".hidden", DirEntry::File},        {u"caf\u00e9", DirEntry::File},
        {u"sock", DirEntry::Other},
    };
    EXPECT_EQ(kinds, expected);

    // A trailing separator lists the same directory.
    std::vector<DirEntry> again;
    ASSERT_TRUE(ListDirectory(Utf8ToUtf16(root_ + "/"), &again));
    EXPECT_EQ(again.size(), entries.size());

    // An empty directory lists nothing; the previous contents are replaced.
    ASSERT_TRUE(ListDirectory(Path("sub"), &again));
    EXPECT_TRUE(again.empty());
}

TEST_F(DirectoryTest, ListingFailures) {
    WriteFile(root_ + "/plain", "x");
    std::vector<DirEntry> entries;
    EXPECT_FALSE(ListDirectory(Path("missing"), &entries));
    EXPECT_FALSE(ListDirectory(Path("plain"), &entries));
    EXPECT_FALSE(ListDirectory(u"", &entries));
}

TEST_F(DirectoryTest, KindsAndCreation) {
    WriteFile(root_ + "/f", "x");
    ASSERT_EQ(::mkfifo((root_ + "/p").c_str(), 0644), 0);
    ASSERT_EQ(::symlink((root_ + "/f").c_str(), (root_ + "/lf").c_str()), 0);
    EXPECT_EQ(GetPathKind(Path("f")), PathKind::File);
    EXPECT_EQ(GetPathKind(Path("p")), PathKind::Other);
    EXPECT_EQ(GetPathKind(Path("lf")), PathKind::File);
    EXPECT_EQ(GetPathKind(Path("none")), PathKind::Missing);
    EXPECT_EQ(GetPathKind(u""), PathKind::Missing);
    EXPECT_EQ(GetPathKind(Utf8ToUtf16(root_)), PathKind::Directory);
    EXPECT_TRUE(PathExists(Path("f")));
    EXPECT_FALSE(PathExists(Path("none")));

    EXPECT_TRUE(MakeDirectory(Path("new")));
    EXPECT_EQ(GetPathKind(Path("new")), PathKind::Directory);
    EXPECT_FALSE(MakeDirectory(Path("new")));       // exists
    EXPECT_FALSE(MakeDirectory(Path("f")));         // a file is there
    EXPECT_FALSE(MakeDirectory(Path("x/y/z")));     // one level at a time
    EXPECT_TRUE(MakeDirectory(Path("new/inner")));
    EXPECT_FALSE(MakeDirectory(u""));
}

// The file system type of a path as statfs names it.
unsigned long FsType(const std::string& path) {
    struct statfs s;
    return ::statfs(path.c_str(), &s) == 0 ? static_cast<unsigned long>(s.f_type) : 0;
}

constexpr unsigned long kTmpfs = 0x01021994;
constexpr unsigned long kProc = 0x9FA0;
constexpr unsigned long kExt = 0xEF53;
constexpr unsigned long kXfs = 0x58465342;
constexpr unsigned long kBtrfs = 0x9123683E;
constexpr unsigned long kOverlay = 0x794C7630;

class DriveTest : public TempTree {
protected:
    void TearDown() override {
        SetFixedDiskOverride(nullptr);
        SetFreeSpaceOverride(nullptr);
        TempTree::TearDown();
    }
};

TEST_F(DriveTest, FixedDiskByFileSystem) {
    EXPECT_FALSE(IsFixedDisk(u""));
    EXPECT_FALSE(IsFixedDisk(u"relative/dir"));
    EXPECT_FALSE(IsFixedDisk(u"\\\\server\\share"));
    if (FsType("/proc") == kProc) {
        EXPECT_FALSE(IsFixedDisk(u"/proc"));
        EXPECT_FALSE(IsFixedDisk(u"/proc/not/there"));
    }
    if (FsType("/dev/shm") == kTmpfs) {
        EXPECT_FALSE(IsFixedDisk(u"/dev/shm"));
        EXPECT_FALSE(IsFixedDisk(u"/dev/shm/incoming/later"));
    }
    unsigned long here = FsType(root_);
    if (here == kExt || here == kXfs || here == kBtrfs || here == kOverlay) {
        EXPECT_TRUE(IsFixedDisk(Utf8ToUtf16(root_)));
        // A target root not created yet is judged by its nearest ancestor.
        EXPECT_TRUE(IsFixedDisk(Path("not/yet/made")));
    } else if (here == kTmpfs) {
        EXPECT_FALSE(IsFixedDisk(Utf8ToUtf16(root_)));
    }
}

TEST_F(DriveTest, FreeSpaceOfThePathOrItsAncestor) {
    uint64_t free1 = 0, free2 = 0;
    ASSERT_TRUE(FreeDiskBytes(Utf8ToUtf16(root_), &free1));
    ASSERT_TRUE(FreeDiskBytes(Path("not/yet/made"), &free2));
    struct statvfs v;
    ASSERT_EQ(::statvfs(root_.c_str(), &v), 0);
    const uint64_t reference = static_cast<uint64_t>(v.f_bavail) * v.f_frsize;
    const uint64_t slack = 64ull << 20;  // other writers on the disk meanwhile
    EXPECT_LT(free1 > reference ? free1 - reference : reference - free1, slack);
    EXPECT_LT(free2 > reference ? free2 - reference : reference - free2, slack);
    EXPECT_GT(free1, 0u);
    EXPECT_FALSE(FreeDiskBytes(u"", &free1));
    EXPECT_FALSE(FreeDiskBytes(Utf8ToUtf16(root_), nullptr));
}

TEST_F(DriveTest, OverridesReplaceTheRealAnswers) {
    std::vector<std::u16string> asked;
    SetFixedDiskOverride([&](const std::u16string& path) {
        asked.push_back(path);
        return path == u"D:\\Incoming";
    });
    SetFreeSpaceOverride([&](const std::u16string& path, uint64_t* bytes) {
        asked.push_back(path);
        if (path.empty()) {
            return false;
        }
        *bytes = uint64_t{1} << 32;  // exactly 4 GiB
        return true;
    });
    EXPECT_TRUE(IsFixedDisk(u"D:\\Incoming"));
    EXPECT_FALSE(IsFixedDisk(Utf8ToUtf16(root_)));
    uint64_t bytes = 0;
    EXPECT_TRUE(FreeDiskBytes(u"/x", &bytes));
    EXPECT_EQ(bytes, uint64_t{1} << 32);
    EXPECT_FALSE(FreeDiskBytes(u"", &bytes));
    EXPECT_EQ(asked, (std::vector<std::u16string>{u"D:\\Incoming", Utf8ToUtf16(root_), u"/x", u""}));

    SetFixedDiskOverride(nullptr);
    SetFreeSpaceOverride(nullptr);
    EXPECT_FALSE(IsFixedDisk(u"D:\\Incoming"));  // real answer: not absolute
    ASSERT_TRUE(FreeDiskBytes(Utf8ToUtf16(root_), &bytes));
    EXPECT_NE(bytes, uint64_t{1} << 32);
}

}  // namespace
}  // namespace tivlo::platform
