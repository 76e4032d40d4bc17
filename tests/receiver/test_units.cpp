// Keys, names, paths, the target root and the disk check, without sockets.
#include <pwd.h>
#include <unistd.h>

#include <set>

#include "receiver_harness.h"

namespace tivlo::testing {
namespace {

using receiver::ClientEngine;

TEST(PadIndex, TenDigitsZeroPadded) {
    EXPECT_EQ(receiver::PadIndex(0), "0000000000");
    EXPECT_EQ(receiver::PadIndex(17), "0000000017");
    EXPECT_EQ(receiver::PadIndex(123456789), "0123456789");
    EXPECT_EQ(receiver::PadIndex(4294967295u), "4294967295");
    auto key = receiver::MakeMissingKey(3, 17);
    EXPECT_EQ(std::string(key.data(), key.size()), "00000000030000000017");
}

TEST(MissingMap, StoreReplacesAndRemoveReports) {
    receiver::MissingMap map;
    receiver::StoreMissing(map, 2, 5);
    receiver::StoreMissing(map, 2, 5);
    receiver::StoreMissing(map, 5, 2);
    EXPECT_EQ(map.size(), 2u);
    EXPECT_TRUE(receiver::RemoveMissing(map, receiver::MakeMissingKey(2, 5)));
    EXPECT_FALSE(receiver::RemoveMissing(map, receiver::MakeMissingKey(2, 5)));
    EXPECT_EQ(map.size(), 1u);
}

TEST(WireNames, SafeNamesMapBelowTheRoot) {
    std::u16string rel;
    ASSERT_TRUE(receiver::WireNameToRelative(u"\\docs\\a.txt", false, &rel));
    EXPECT_EQ(rel, u"/docs/a.txt");
    ASSERT_TRUE(receiver::WireNameToRelative(u"\\.hidden\\..x\\a..b", false, &rel));
    EXPECT_EQ(rel, u"/.hidden/..x/a..b");
    ASSERT_TRUE(receiver::WireNameToRelative(u"\\a*b?c<d>e.txt", true, &rel));
    EXPECT_EQ(rel, u"/abcde.txt");
}

TEST(WireNames, NamesThatCouldLeaveTheRootAreRefused) {
    std::u16string rel = u"unchanged";
    for (const std::u16string& bad : std::vector<std::u16string>{u"", u"docs\\a.txt", u"\\..\\x", u"\\a\\..\\..\\x", u"\\a\\..", u"\\a/../b", u"\\\\server\\share",
          u"\\/etc/passwd", u"\\C:\\Windows", u"\\a:stream", u"\\...\\x", u"\\.. \\x",
          std::u16string(u"\\a\0b", 4)}) {
        EXPECT_FALSE(receiver::WireNameToRelative(bad, false, &rel)) << platform::Utf16ToUtf8(bad);
    }
    // The reserved characters go first, so they cannot hide a climb.
    EXPECT_FALSE(receiver::WireNameToRelative(u"\\.*.\\x", true, &rel));
    EXPECT_EQ(rel, u"unchanged");
}

class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tivlo-units-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::u16string U(const fs::path& p) { return platform::Utf8ToUtf16(p.string()); }
    fs::path dir;
};

TEST_F(SandboxTest, CreatePathMakesEveryLevel) {
    EXPECT_EQ(receiver::CreatePath(U(dir / "a" / "b" / "c")), 1);
    EXPECT_TRUE(fs::is_directory(dir / "a" / "b" / "c"));
    EXPECT_EQ(receiver::CreatePath(U(dir / "x" / "y") + u"/"), 1);
    EXPECT_TRUE(fs::is_directory(dir / "x" / "y"));
    // Existing: nothing to do. A bare drive form is left alone.
    EXPECT_EQ(receiver::CreatePath(U(dir / "a")), 1);
    EXPECT_EQ(receiver::CreatePath(u"Q:"), 1);
    EXPECT_FALSE(fs::exists("Q:"));
}

TEST(ConvertName, WideNamesEndAtTheirTerminator) {
    ClientEngine engine;
    auto field = protocol::WideNameField(u"\\dir\\Äpfel.txt");
    EXPECT_EQ(engine.ConvertName(field.bytes.data(), field.count), u"\\dir\\Äpfel.txt");
    // A shorter count cuts the name.
    EXPECT_EQ(engine.ConvertName(field.bytes.data(), 5), u"\\dir\\");
    // A count past the field reads no further than the field.
    std::array<uint8_t, protocol::kNameFieldBytes> full;
    for (size_t i = 0; i < full.size(); i += 2) {
        full[i] = 'a';
        full[i + 1] = 0;
    }
    EXPECT_EQ(engine.ConvertName(full.data(), 100000), std::u16string(260, u'a'));
}

TEST(ConvertName, SingleByteNamesUseTheAnsiCodePage) {
    ClientEngine engine;
    engine.nameWide = 0;
    const uint8_t field[protocol::kNameFieldBytes] = {'\\', 'c', 'a', 'f', 0xE9, 0x80, '.', 't', 'x', 't', 0};
    EXPECT_EQ(engine.ConvertName(field, 11), u"\\caf\u00e9\u20ac.txt");
    EXPECT_EQ(engine.ConvertName(field, 4), u"\\caf");
}

TEST(ConvertName, WideNamesOnASystemWithoutUnicodeGoThroughTheCodePage) {
    ClientEngine engine;
    engine.ntFlag = 0;
    auto field = protocol::WideNameField(u"\\caf\u00e9 \u03a9.txt");
    // é exists in the code page, Ω does not.
    EXPECT_EQ(engine.ConvertName(field.bytes.data(), field.count), u"\\caf\u00e9 ?.txt");
}

TEST(ConvertName, WireNamesWithAnInnerNulAreRefused) {
    ClientEngine engine;
    std::u16string name;
    auto field = protocol::WideNameField(u"\\ok.txt");
    EXPECT_TRUE(engine.ReadWireName(field.bytes.data(), field.count, &name));
    EXPECT_EQ(name, u"\\ok.txt");
    // The count claims more than the name: the NUL hides what follows.
    field.bytes[2 * 3] = 0;
    field.bytes[2 * 3 + 1] = 0;
    EXPECT_FALSE(engine.ReadWireName(field.bytes.data(), field.count, &name));
    EXPECT_FALSE(engine.ReadWireName(field.bytes.data(), 0, &name));
}

// A user other than the one running the tests, for the logged-on user.
std::string OtherUser() {
    const uid_t me = geteuid();
    for (const char* candidate : {"nobody", "daemon", "root"}) {
        passwd* pw = getpwnam(candidate);
        if (pw != nullptr && pw->pw_uid != me && pw->pw_dir != nullptr && std::string(pw->pw_dir) != "/")
            return candidate;
    }
    return {};
}

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = getenv("TIVLO_LOGON_USER");
        if (old) saved = old;
        hadSaved = old != nullptr;
        ASSERT_TRUE(platform::CurrentUserName(&account));
    }
    void TearDown() override {
        if (hadSaved)
            setenv("TIVLO_LOGON_USER", saved.c_str(), 1);
        else
            unsetenv("TIVLO_LOGON_USER");
    }
    std::u16string account;
    std::string saved;
    bool hadSaved = false;
    ClientEngine engine;
};

TEST_F(ProfileTest, ReplacementsStopAtTheFirstStepThatApplies) {
    setenv("TIVLO_LOGON_USER", "alice", 1);
    std::u16string path = u"/p/Default User/LocalService/Default User";
    EXPECT_EQ(engine.MapProfilePath(&path), 2);
    EXPECT_EQ(path, u"/p/alice/LocalService/alice");

    path = u"/p/NetworkService/LocalService";
    EXPECT_EQ(engine.MapProfilePath(&path), 1);
    EXPECT_EQ(path, u"/p/NetworkService/alice");

    path = u"/p/NetworkService/x";
    EXPECT_EQ(engine.MapProfilePath(&path), 1);
    EXPECT_EQ(path, u"/p/alice/x");

    path = u"/p/" + account + u".WINXP/" + account + u".WINNT";
    EXPECT_EQ(engine.MapProfilePath(&path), 1);
    EXPECT_EQ(path, u"/p/alice/" + account + u".WINNT");

    path = u"/p/" + account + u".WINNT";
    EXPECT_EQ(engine.MapProfilePath(&path), 1);
    EXPECT_EQ(path, u"/p/alice");

    std::u16string empty;
    EXPECT_EQ(engine.MapProfilePath(&empty), 0);
}

TEST_F(ProfileTest, TheAccountsHomeBecomesTheLoggedOnUsersHome) {
    const std::string other = OtherUser();
    if (other.empty()) GTEST_SKIP() << "no second user with a home";
    setenv("TIVLO_LOGON_USER", other.c_str(), 1);
    std::u16string mine, theirs;
    ASSERT_TRUE(platform::UserHome(account, &mine));
    ASSERT_TRUE(platform::UserHome(platform::Utf8ToUtf16(other), &theirs));

    std::u16string path = mine + u"/Desktop";
    EXPECT_EQ(engine.MapProfilePath(&path), 1);
    EXPECT_EQ(path, theirs + u"/Desktop");
    // Only the whole home, not a directory whose name starts like it.
    path = mine + u"files/x";
    EXPECT_EQ(engine.MapProfilePath(&path), 0);
    EXPECT_EQ(path, mine + u"files/x");

    std::u16string name;
    ASSERT_EQ(engine.GetLogonProfileName(&name), 1);
    EXPECT_EQ(name, platform::Utf8ToUtf16(other));
}

TEST_F(ProfileTest, ResolveTargetPathByMode) {
    setenv("TIVLO_LOGON_USER", platform::Utf16ToUtf8(account).c_str(), 1);
    // The path as given, whatever it looks like.
    engine.ResolveTargetPath(receiver::kAllBitsMode, u"D:\\Incoming");
    EXPECT_EQ(engine.TargetRoot(), u"D:\\Incoming");
    // A special folder ignores the path: the logged-on user's documents.
    std::u16string documents;
    ASSERT_TRUE(platform::SpecialFolderPath(5, account, &documents));
    engine.ResolveTargetPath(5, u"/ignored");
    EXPECT_EQ(engine.TargetRoot(), documents);
    // A folder that cannot be located leaves the previous root.
    engine.ResolveTargetPath(4242, u"/ignored");
    EXPECT_EQ(engine.TargetRoot(), documents);
}

class DiskCheckTest : public ::testing::Test {
protected:
    void TearDown() override {
        platform::SetFixedDiskOverride(nullptr);
        platform::SetFreeSpaceOverride(nullptr);
    }
    void Fake(bool fixed, std::optional<uint64_t> free) {
        platform::SetFixedDiskOverride([fixed](const std::u16string&) { return fixed; });
        platform::SetFreeSpaceOverride([free](const std::u16string&, uint64_t* bytes) {
            if (!free) return false;
            *bytes = *free;
            return true;
        });
    }
    ClientEngine engine;
    LogRecorder log;
};

TEST_F(DiskCheckTest, OutcomesAndTheirLines) {
    engine.SetTargetRoot(u"/srv/in");
    Fake(true, 5000);
    EXPECT_EQ(engine.CheckDiskSpace(5000), 1u);  // exactly enough
    EXPECT_EQ(engine.CheckDiskSpace(0), 1u);
    EXPECT_EQ(engine.CheckDiskSpace(5001), 0u);
    EXPECT_EQ(log.Count("\n@@ tosize  = 5001, DiskSize = 5000 \n"), 1);
    EXPECT_EQ(log.Count("\nTivlo-----No free space to write file!\n"), 1);

    Fake(true, std::nullopt);
    EXPECT_EQ(engine.CheckDiskSpace(1), 0u);
    EXPECT_EQ(log.Count(u"/srv/in"), 1);
    EXPECT_EQ(log.Count("\nTivlo-----GetDiskFreeSpace false!\n"), 1);

    const size_t linesBefore = log.Lines().size();
    Fake(false, 1 << 30);
    EXPECT_EQ(engine.CheckDiskSpace(1), 1002u);
    EXPECT_EQ(log.Lines().size(), linesBefore);  // nothing logged
}

TEST_F(DiskCheckTest, RootsThatAreNoPlaceOnADisk) {
    Fake(true, uint64_t(1) << 40);
    for (const std::u16string& root :
         std::vector<std::u16string>{u"", u"D:\\Incoming", u"relative/dir", u"\\\\server\\share"}) {
        engine.SetTargetRoot(root);
        EXPECT_EQ(engine.CheckDiskSpace(1), 1002u) << platform::Utf16ToUtf8(root);
    }
}

TEST_F(DiskCheckTest, ATaskAboveFourGigabytesIsNotTakenForASmallOne) {
    engine.SetTargetRoot(u"/srv/in");
    Fake(true, 1u << 20);
    // 1,009,631 blocks would wrap to 2,978 bytes in 32 bits.
    EXPECT_EQ(engine.CheckDiskSpace(uint64_t(1009631) * protocol::kBlockSize), 0u);
    Fake(true, uint64_t(1) << 33);
    EXPECT_EQ(engine.CheckDiskSpace(uint64_t(1009631) * protocol::kBlockSize), 1u);
}

TEST(DiskCheck, RealTemporaryDirectoryIsAFixedDiskWithSpace) {
    if (!platform::IsFixedDisk(u"/tmp")) GTEST_SKIP() << "/tmp is not on a local disk here";
    ClientEngine engine;
    engine.SetTargetRoot(u"/tmp/tivlo-not-created-yet/sub");
    EXPECT_EQ(engine.CheckDiskSpace(4254), 1u);
    EXPECT_EQ(engine.CheckDiskSpace(uint64_t(1) << 62), 0u);
}

TEST(GapExpansion, RecordsBecomeTheBlocksTheyHide) {
    ClientEngine engine;
    auto keys = [&] {
        std::set<std::pair<uint32_t, uint32_t>> out;
        for (const auto& [key, entry] : engine.missing) {
            EXPECT_EQ(key, receiver::MakeMissingKey(entry.file, entry.block));
            out.insert({entry.file, entry.block});
        }
        return out;
    };
    engine.ExpandGap({1, 10, 12, 4, 2, 8});
    EXPECT_EQ(keys(), (std::set<std::pair<uint32_t, uint32_t>>{{1, 11}, {1, 12}, {2, 0}, {3, 0}, {4, 0}, {4, 1}}));

    engine.missing.clear();
    engine.ExpandGap({3, 1, 5, 2, 0, 5});  // backwards: nothing
    EXPECT_TRUE(keys().empty());

    engine.ExpandGap({2, 3, 9, 2, 7, 9});  // same file
    EXPECT_EQ(keys(), (std::set<std::pair<uint32_t, uint32_t>>{{2, 4}, {2, 5}, {2, 6}}));

    engine.missing.clear();
    engine.ExpandGap({0, 0, 0, 2, 1, 3});  // nothing seen before file 2, block 1
    EXPECT_EQ(keys(), (std::set<std::pair<uint32_t, uint32_t>>{{1, 0}, {2, 0}}));
}

}  // namespace
}  // namespace tivlo::testing
