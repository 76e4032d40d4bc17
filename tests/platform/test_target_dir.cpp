// Writing below a target root that a user may have laid traps in: links,
// hard links and FIFOs at the names a transfer writes, a link swapped in
// while a file is open, and the special folders a root service accepts.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <thread>

#include "platform/log.h"
#include "platform/system.h"
#include "platform/system_posix_detail.h"
#include "platform/target_dir.h"

namespace tivlo::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Write(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// base/root is the target root, base/outside what it must never touch.
class Trap : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tivlo-target-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        base_ = pattern;
        fs::create_directories(root_ = base_ / "root");
        fs::create_directories(outside_ = base_ / "outside");
        Write(outside_ / "secret", "secret");
        Write(root_ / "keep.txt", "keep");
    }
    void TearDown() override {
        if (reader_ >= 0) ::close(reader_);
        std::error_code ec;
        fs::remove_all(base_, ec);
    }
    // Everything outside the root and the file beside the traps, as they are.
    std::map<std::string, std::string> Untouched() const {
        std::map<std::string, std::string> seen{{"keep.txt", Read(root_ / "keep.txt")}};
        for (const auto& e : fs::recursive_directory_iterator(outside_))
            seen[e.path().string()] = e.is_regular_file() ? Read(e.path()) : "<dir>";
        return seen;
    }
    fs::path base_, root_, outside_;
    int reader_ = -1;
};

struct Attack {
    const char* name;
    std::function<void(const fs::path& root)> lay;
    const char16_t* relative;
    bool makeDirectories;  // else OpenFile and write
    bool accepted;
};

TEST_F(Trap, NothingOutsideTheRootChanges) {
    auto link = [](const char* target, const char* name) {
        return [=](const fs::path& r) { fs::create_symlink(target, r / name); };
    };
    auto fifo = [this](const char* name, bool reader) {
        return [=, this](const fs::path& r) {
            ::mkfifo((r / name).c_str(), 0666);
            if (reader) reader_ = ::open((r / name).c_str(), O_RDONLY | O_NONBLOCK);
        };
    };
    auto none = [](const fs::path&) {};
    const Attack attacks[] = {
        {"link as a directory", link("../outside", "d"), u"/d/secret", false, false},
        {"link at the file's name", link("../outside/secret", "f"), u"/f", false, false},
        {"dangling link at the name", link("../outside/new", "n"), u"/n", false, false},
        {"FIFO at the name", fifo("p", false), u"/p", false, false},
        {"FIFO with a reader", fifo("q", true), u"/q", false, false},
        {"directory at the name", [](auto& r) { fs::create_directory(r / "dir"); }, u"/dir", false, false},
        {"climbing", none, u"/../outside/secret", false, false},
        {"link in a directory to make", link("../outside", "m"), u"/m/new/dir", true, false},
        {"file in a directory to make", none, u"/keep.txt/x", true, false},
        {"hard link at the name", [](auto& r) { fs::create_hard_link(r / "../outside/secret", r / "h"); }, u"/h", false,
         true},
        {"fresh names", none, u"/a/b/c.bin", false, true},
    };
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.name);
        attack.lay(root_);
        const auto before = Untouched();
        TargetDir dir;
        ASSERT_TRUE(dir.Open(Utf8ToUtf16(root_.string())));
        TargetFile file;
        bool ok;
        if (attack.makeDirectories) {
            ok = dir.MakeDirectories(attack.relative);
        } else {
            // A writer blocked on a FIFO is set free by a reader, and fails.
            auto opened = std::async(std::launch::async, [&] { return dir.OpenFile(attack.relative, &file); });
            if (opened.wait_for(5s) != std::future_status::ready) {
                ::close(::open((root_ / "p").c_str(), O_RDONLY | O_NONBLOCK));
                ADD_FAILURE() << "OpenFile blocked";
            }
            ok = opened.get() && file.Write("new", 3) && file.Close();
        }
        EXPECT_EQ(ok, attack.accepted);
        EXPECT_EQ(Untouched(), before);
        if (ok && attack.accepted && !attack.makeDirectories) {
            EXPECT_EQ(Read(root_ / Utf16ToUtf8(attack.relative).substr(1)), "new");
        }
    }
}

TEST_F(Trap, AnOpenFileStaysTheFileWhenItsPathIsSwapped) {
    TargetDir dir;
    ASSERT_TRUE(dir.Open(Utf8ToUtf16(root_.string())));
    TargetFile file;
    ASSERT_TRUE(dir.OpenFile(u"/s/file", &file));
    ASSERT_TRUE(file.Write("AAAA", 4));
    const auto before = Untouched();
    fs::rename(root_ / "s", root_ / "s-old");
    fs::create_directory_symlink("../outside", root_ / "s");
    fs::rename(root_ / "s-old" / "file", root_ / "s-old" / "moved");
    fs::create_symlink("../../outside/secret", root_ / "s-old" / "file");
    ASSERT_TRUE(file.Seek(4) && file.Write("BBBB", 4));
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(Untouched(), before);
    EXPECT_EQ(Read(root_ / "s-old" / "moved"), "AAAABBBB");
    EXPECT_FALSE(dir.OpenFile(u"/s/file", &file));  // the new path is a link
}

TEST_F(Trap, ExistingFilesAreWrittenInPlaceAndFailedReplacementsLeaveNoTrace) {
    TargetDir dir;
    ASSERT_TRUE(dir.Open(Utf8ToUtf16(root_.string())));
    TargetFile file;
    ASSERT_TRUE(dir.OpenFile(u"keep.txt", &file));
    EXPECT_FALSE(file.Replaces());
    EXPECT_EQ(file.Length(), 4);  // contents kept until the caller cuts
    ASSERT_TRUE(file.Seek(4) && file.Write("!", 1) && file.Close());
    EXPECT_EQ(Read(root_ / "keep.txt"), "keep!");

    fs::create_hard_link(outside_ / "secret", root_ / "h");
    ASSERT_TRUE(dir.OpenFile(u"h", &file));
    EXPECT_TRUE(file.Replaces());
    ASSERT_TRUE(file.Write("half", 4));
    file.Discard();  // a failed transfer: both names keep the old contents
    EXPECT_EQ(Read(root_ / "h"), "secret");
    EXPECT_EQ(fs::hard_link_count(outside_ / "secret"), 2u);
    ASSERT_TRUE(dir.OpenFile(u"h", &file) && file.Write("new", 3));
    fs::remove(root_ / "h");
    fs::create_directory(root_ / "h");
    EXPECT_FALSE(file.Close());  // a directory took the name meanwhile
    EXPECT_EQ(std::distance(fs::directory_iterator(root_), {}), 2);  // and no replacement is left
}

TEST_F(Trap, RootWritesAsTheOwnerOfTheFolder) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    constexpr uid_t kNobody = 65534;
    Write(root_ / "root-owned", "old");  // left by a receiver that wrote as root
    ASSERT_EQ(::chown(root_.c_str(), kNobody, kNobody), 0);
    TargetDir dir;
    ASSERT_TRUE(dir.Open(Utf8ToUtf16(root_.string())));
    EXPECT_EQ(dir.OwnerUid(), kNobody);
    std::promise<void> go;
    std::thread other([&, started = go.get_future()]() mutable {
        started.wait();
        Write(root_ / "other-thread", "x");
    });
    {
        WriteIdentity as(dir.OwnerUid(), dir.OwnerGid());
        ASSERT_TRUE(as.Active());
        ASSERT_TRUE(dir.MakeDirectories(u"/a/b"));
        for (const char16_t* name : {u"/a/f", u"/root-owned"}) {
            TargetFile file;
            ASSERT_TRUE(dir.OpenFile(name, &file));
            EXPECT_TRUE(file.Write("new", 3) && file.Close());
        }
        go.set_value();  // a thread that was running keeps its own identity
        other.join();
    }
    Write(root_ / "after", "x");
    const std::map<std::string, uid_t> owners{{"a", kNobody}, {"a/b", kNobody}, {"a/f", kNobody},
                                              {"root-owned", kNobody}, {"other-thread", 0}, {"after", 0}};
    for (const auto& [name, uid] : owners) {
        struct stat st;
        ASSERT_EQ(::stat((root_ / name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_uid, uid) << name;
    }
    EXPECT_EQ(Read(root_ / "root-owned"), "new");
    EXPECT_FALSE(WriteIdentity(0, 0).Active());
}

TEST_F(Trap, RootServiceTakesOnlyTheUsersOwnFolders) {
    const fs::path home = base_ / "home";
    fs::create_directories(home / "Desktop");
    fs::create_directory_symlink(outside_, home / "Link");
    const std::string h = home.string();
    const uid_t me = ::geteuid();
    const struct {
        std::string folder;
        uid_t uid;
        bool taken;
    } folders[] = {{h + "/Desktop", me, true},     {h + "/Missing", me, true}, {h + "/Desktop", me + 1, false},
                   {h, me, false},                 {h + "/Link", me, false},   {h + "/../outside", me, false},
                   {h + "/Link/../../x", me, false}, {"/", me, false}};
    for (const auto& f : folders) EXPECT_EQ(detail::FolderBelowHome(f.folder, h, f.uid), f.taken) << f.folder;
    EXPECT_FALSE(detail::FolderBelowHome("/", "/", me));

    fs::create_directories(home / ".config");
    Write(home / ".config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"/\"\nXDG_MUSIC_DIR=\"$HOME/Link\"\n"
                                            "XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n");
    fs::create_directory_symlink(outside_, home / "Music");
    std::u16string logged;
    SetLogSink([](void* context, const char16_t* line) { *static_cast<std::u16string*>(context) += line; }, &logged);
    std::string path;
    EXPECT_TRUE(detail::ConfinedFolderInHome(0, "u", h, me, &path));
    EXPECT_EQ(path, h + "/Desktop");
    EXPECT_TRUE(detail::ConfinedFolderInHome(5, "u", h, me, &path));
    EXPECT_EQ(path, h + "/Docs");
    EXPECT_FALSE(detail::ConfinedFolderInHome(13, "u", h, me, &path));  // the default is a link too
    SetLogSink(nullptr, nullptr);
    EXPECT_NE(logged.find(u"Folder setting XDG_DESKTOP_DIR=/ lies outside the home of user u"), std::u16string::npos);
    EXPECT_NE(logged.find(u"Folder " + Utf8ToUtf16(h) + u"/Music lies outside"), std::u16string::npos);
}

}  // namespace
}  // namespace tivlo::platform
