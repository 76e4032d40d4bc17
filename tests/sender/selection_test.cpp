// The selection and the lists built from it, on real temporary trees.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "platform/system.h"
#include "protocol/packets.h"
#include "sender/server_engine.h"
#include "sender_harness.h"

namespace {

using namespace sendertest;
using tivlo::sender::ServerEngine;
namespace fs = std::filesystem;

std::vector<std::u16string> Relatives(const ServerEngine& e) {
    std::vector<std::u16string> out;
    for (auto& t : e.transferList) out.push_back(t->relativeName);
    return out;
}

std::vector<std::u16string> EmptyDirs(const ServerEngine& e) {
    std::vector<std::u16string> out;
    for (auto& d : e.emptyDirectoryList) out.push_back(d->name);
    return out;
}

std::set<std::u16string> AsSet(const std::vector<std::u16string>& v) { return {v.begin(), v.end()}; }

TEST(Selection, PathChecksGiveTheirResultsInOrder) {
    LogRecorder log;
    TempTree tree;
    auto file = tree.File("d/a.txt", 10);
    ServerEngine e;

    // A path of 260 characters passes the checks (it need not exist); 261 is refused.
    std::u16string p260 = u"/" + std::u16string(259, u'x');
    EXPECT_EQ(e.SetSelectFiles({p260}), 1);
    EXPECT_EQ(e.SetSelectFiles({p260 + u"x"}), 2);
    EXPECT_TRUE(log.Contains("\nTivlo-----File Name Lenght > Max_path in CStringArray!\n"));

    EXPECT_EQ(e.SetSelectFiles({u"/"}), 3);
    EXPECT_TRUE(log.Contains("\nTivlo-----File Name Lenght < 3 in CStringArray!\n"));
    EXPECT_EQ(e.SetSelectFiles({u"/a"}), 1) << "two characters pass";

    EXPECT_EQ(e.SetSelectFiles({u"relative/a.txt"}), 4);
    EXPECT_EQ(e.SetSelectFiles({u"\\\\server\\share"}), 4);
    EXPECT_TRUE(log.Contains("\nTivlo-----driver error\n"));

    for (const char16_t* bad : {u"/a\\b", u"/x:y", u"/a*b", u"/a?", u"/a>b", u"/a<b", u"/a\"b", u"/a|b"}) {
        EXPECT_EQ(e.SetSelectFiles({bad}), 5) << tivlo::platform::Utf16ToUtf8(bad);
    }
    EXPECT_TRUE(log.Contains("\nTivlo-----File Name has illegal char!\n"));
    // The length checks come before the separator and character checks.
    EXPECT_EQ(e.SetSelectFiles({u"x"}), 3);
    EXPECT_EQ(e.SetSelectFiles({u"*" + std::u16string(300, u'a')}), 2);

    // A good selection, then one whose second path fails: the first record
    // stays, no list is built, prefixLength keeps its value.
    ASSERT_EQ(e.SetSelectFiles({U16(file)}), 1);
    int32_t prefix = e.prefixLength;
    ASSERT_EQ(e.transferList.size(), 1u);
    EXPECT_EQ(e.SetSelectFiles({U16(file), u"/a|b", U16(file)}), 5);
    EXPECT_EQ(e.selectionList.size(), 1u);
    EXPECT_TRUE(e.transferList.empty());
    EXPECT_EQ(e.prefixLength, prefix);
}

TEST(Selection, EmptyArrayClearsEverything) {
    LogRecorder log;
    TempTree tree;
    tree.File("d/a.txt", 10);
    ServerEngine e;
    ASSERT_EQ(e.SetSelectFiles({U16(tree.root() / "d")}), 1);
    ASSERT_FALSE(e.transferList.empty());
    ASSERT_FALSE(e.emptyDirectoryList.empty());
    EXPECT_EQ(e.SetSelectFiles({}), 1);
    EXPECT_TRUE(log.Contains("\nTivlo-----No files in CSringArray!\n"));
    EXPECT_TRUE(e.selectionList.empty());
    EXPECT_TRUE(e.transferList.empty());
    EXPECT_TRUE(e.emptyDirectoryList.empty());
}

TEST(Selection, RelativeNamesAreCutAtTheSelectionsFolderAndUseBackslashes) {
    TempTree tree;
    auto photo = tree.File("Data/Photos/Summer/a.jpg", 100);
    auto list = tree.File("Data/list.txt", 5);
    ServerEngine e;
    e.includeSubdirs = 1;
    std::u16string dataDir = U16(tree.root() / "Data");
    ASSERT_EQ(e.SetSelectFiles({U16(tree.root() / "Data" / "Photos"), U16(list)}), 1);
    EXPECT_EQ(e.prefixLength, int32_t(dataDir.size()));
    ASSERT_EQ(e.transferList.size(), 2u);
    EXPECT_EQ(e.transferList[0]->relativeName, u"\\Photos\\Summer\\a.jpg");
    EXPECT_EQ(e.transferList[0]->fullPath, U16(photo));
    EXPECT_EQ(e.transferList[1]->relativeName, u"\\list.txt");
    EXPECT_EQ(e.transferList[1]->fullPathLength, U16(list).size() + 1);

    // The name travels as UTF-16LE with its terminator; the count includes it.
    const auto& field = e.transferList[1]->relativeField;
    EXPECT_EQ(field.count, 10u);
    EXPECT_EQ(field.bytes[0], '\\');
    EXPECT_EQ(field.bytes[1], 0);
    EXPECT_EQ(field.bytes[2], 'l');
    EXPECT_EQ(field.bytes[16], 't');
    EXPECT_EQ(field.bytes[18], 0);
    EXPECT_EQ(field.bytes[19], 0);

    // Photos has a sub-directory, Summer has none.
    EXPECT_EQ(EmptyDirs(e), std::vector<std::u16string>{u"\\Photos\\Summer"});

    // A selected file is named from its own last separator, whatever the
    // selection's folder.
    auto deep = tree.File("Other/deeper/b.bin", 1);
    ASSERT_EQ(e.SetSelectFiles({U16(deep), U16(tree.root() / "Data" / "Photos")}), 1);
    EXPECT_EQ(e.transferList[0]->relativeName, u"\\b.bin");
}

TEST(Selection, WalkIsDepthFirstAndListsEveryLeafDirectory) {
    TempTree tree;
    // Several levels with files beside and below sub-directories.
    std::set<std::u16string> files, leaves;
    for (const char* f : {"top/f1", "top/f2", "top/a/f3", "top/a/x/f4", "top/a/x/f5", "top/a/y/f6",
                          "top/b/f7", "top/b/f8", "top/b/c/d/f9", "top/f10"}) {
        tree.File(f, 3);
        std::string rel = "/" + std::string(f);
        std::replace(rel.begin(), rel.end(), '/', '\\');
        files.insert(U16(std::string(rel)));
    }
    tree.Dir("top/empty");
    for (const char* d : {"\\top\\a\\x", "\\top\\a\\y", "\\top\\b\\c\\d", "\\top\\empty"}) leaves.insert(U16(std::string(d)));

    ServerEngine e;
    e.includeSubdirs = 1;
    ASSERT_EQ(e.SetSelectFiles({U16(tree.root() / "top")}), 1);
    auto rel = Relatives(e);
    EXPECT_EQ(AsSet(rel), files);
    EXPECT_EQ(rel.size(), files.size());

    // Depth-first: the files below any directory form one unbroken run.
    for (const char* dir : {"\\top\\a\\", "\\top\\a\\x\\", "\\top\\b\\", "\\top\\b\\c\\"}) {
        std::u16string prefix = U16(std::string(dir));
        std::vector<size_t> at;
        for (size_t i = 0; i < rel.size(); ++i)
            if (rel[i].rfind(prefix, 0) == 0) at.push_back(i);
        ASSERT_FALSE(at.empty());
        EXPECT_EQ(at.back() - at.front() + 1, at.size()) << tivlo::platform::Utf16ToUtf8(prefix);
    }
    auto dirs = EmptyDirs(e);
    EXPECT_EQ(AsSet(dirs), leaves);
    EXPECT_EQ(dirs.size(), leaves.size());
    // Leaf directories come in the order their subtrees are walked.
    auto firstFileUnder = [&](const std::u16string& d) {
        for (size_t i = 0; i < rel.size(); ++i)
            if (rel[i].rfind(d + u"\\", 0) == 0) return i;
        return rel.size();
    };
    for (size_t i = 0; i + 1 < dirs.size(); ++i) {
        size_t a = firstFileUnder(dirs[i]), b = firstFileUnder(dirs[i + 1]);
        if (a < rel.size() && b < rel.size()) {
            EXPECT_LT(a, b);
        }
    }
}

TEST(Selection, WithoutSubdirectoriesOnlyDirectFilesCount) {
    TempTree tree;
    tree.Files({"sel/one", "sel/two", "sel/sub/three", "flat/four"});
    ServerEngine e;
    e.includeSubdirs = 0;
    ASSERT_EQ(e.SetSelectFiles({U16(tree.root() / "sel")}), 1);
    EXPECT_EQ(AsSet(Relatives(e)), (std::set<std::u16string>{u"\\sel\\one", u"\\sel\\two"}));
    EXPECT_TRUE(e.emptyDirectoryList.empty()) << "sel has a sub-directory";

    // A directory holding only files is listed, and its files are sent.
    ASSERT_EQ(e.SetSelectFiles({U16(tree.root() / "flat")}), 1);
    EXPECT_EQ(Relatives(e), std::vector<std::u16string>{u"\\flat\\four"});
    EXPECT_EQ(EmptyDirs(e), std::vector<std::u16string>{u"\\flat"});

    // The flag as it stands when the selection is made decides.
    e.includeSubdirs = 1;
    EXPECT_EQ(e.transferList.size(), 1u);
    ASSERT_EQ(e.SetSelectFiles({U16(tree.root() / "sel")}), 1);
    EXPECT_EQ(e.transferList.size(), 3u);
}

TEST(Selection, IllegalNamesDirectlyInsideASelectedDirectoryAreDropped) {
    TempTree tree;
    tree.Files({"sel/ok.txt", "sel/st*r.txt", "sel/back\\slash", "sel/sub/de*ep.txt"});
    ServerEngine e;
    e.includeSubdirs = 0;
    EXPECT_EQ(e.SetSelectFiles({U16(tree.root() / "sel")}), 7);
    EXPECT_EQ(Relatives(e), std::vector<std::u16string>{u"\\sel\\ok.txt"});
    EXPECT_EQ(e.invalidNameFlag, 0u);

    // The walk below a selected directory does not test names.
    fs::remove(tree.root() / "sel/st*r.txt");
    fs::remove(tree.root() / "sel/back\\slash");
    e.includeSubdirs = 1;
    EXPECT_EQ(e.SetSelectFiles({U16(tree.root() / "sel")}), 1);
    EXPECT_EQ(AsSet(Relatives(e)),
              (std::set<std::u16string>{u"\\sel\\ok.txt", u"\\sel\\sub\\de*ep.txt"}));
}

TEST(Selection, NamesTooLongForTheFieldAreLeftOut) {
    TempTree tree;
    // Each component is short, the relative name is not.
    std::string deep = "sel";
    while (deep.size() < 280) deep += "/abcdefghijklmnopqrstuvwxyz";
    tree.File(deep + "/f", 1);
    tree.File("sel/short", 1);
    LogRecorder log;
    ServerEngine e;
    e.includeSubdirs = 1;
    EXPECT_EQ(e.SetSelectFiles({U16(tree.root() / "sel")}), 7);
    EXPECT_EQ(Relatives(e), std::vector<std::u16string>{u"\\sel\\short"});
    for (auto& d : e.emptyDirectoryList) EXPECT_LE(d->name.size(), 260u);
    EXPECT_TRUE(log.Contains("\nTivlo-----Relative file name longer than 260 characters, file skipped!\n"));
}

TEST(Selection, OnlyFilesAndDirectoriesAreWalkedAndDirectoryLinksAreNotFollowed) {
    TempTree tree;
    auto target = tree.File("elsewhere/real.bin", 4254);
    tree.File("elsewhere/sub/x", 1);
    tree.Dir("sel");
    fs::create_symlink(target, tree.root() / "sel/link.bin");
    fs::create_directory_symlink(tree.root() / "elsewhere", tree.root() / "sel/dirlink");
    ASSERT_EQ(::mkfifo((tree.root() / "sel/fifo").c_str(), 0600), 0);
    ServerEngine e;
    e.includeSubdirs = 1;
    ASSERT_EQ(e.SetSelectFiles({U16(tree.root() / "sel")}), 1);
    EXPECT_EQ(Relatives(e), std::vector<std::u16string>{u"\\sel\\link.bin"});
    EXPECT_EQ(EmptyDirs(e), std::vector<std::u16string>{u"\\sel"}) << "a link is no sub-directory";
    EXPECT_EQ(e.CountTotalBlocks(), 2u) << "the link is counted as its target";

    // A selected path that is gone adds nothing.
    ASSERT_EQ(e.SetSelectFiles({U16(tree.root() / "missing")}), 1);
    EXPECT_TRUE(e.transferList.empty());
    EXPECT_TRUE(e.emptyDirectoryList.empty());
}

TEST(Selection, BlockTotalsFollowTheFileLengths) {
    TempTree tree;
    auto a = tree.File("a", 4254);
    auto b = tree.File("b", 4253);
    auto c = tree.File("c", 0);
    auto d = tree.File("d", 3 * 4254 + 1);
    ServerEngine e;
    for (auto& [path, blocks] : std::vector<std::pair<fs::path, uint64_t>>{{a, 2}, {b, 1}, {c, 1}, {d, 4}}) {
        ASSERT_EQ(e.SetSelectFiles({U16(path)}), 1);
        EXPECT_EQ(e.CountTotalBlocks(), blocks) << path;
    }
    ASSERT_EQ(e.SetSelectFiles({U16(a), U16(b), U16(c), U16(d)}), 1);
    EXPECT_EQ(e.CountTotalBlocks(), 8u);
    EXPECT_EQ(e.QueryFileLength(U16(tree.root() / "nothing")), 0u);
}

TEST(Selection, TargetPathMustFitTheTaskField) {
    LogRecorder log;
    ServerEngine e;
    std::u16string fits(259, u'p');
    EXPECT_EQ(e.StoreTargetPath(0xFFFFFFFF, fits), 1);
    EXPECT_EQ(e.targetPath, fits);
    EXPECT_EQ(e.targetMode, 0xFFFFFFFFu);
    EXPECT_EQ(e.StoreTargetPath(5, fits + u"q"), 0);
    EXPECT_EQ(e.targetPath, fits);
    EXPECT_EQ(e.targetMode, 0xFFFFFFFFu);
    EXPECT_EQ(e.StoreTargetPath(5, u""), 1);
    EXPECT_EQ(e.targetMode, 5u);
}

}  // namespace
