// Text conversions, users and special folders.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "child_process.h"
#include "platform/system.h"
#include "platform/system_posix_detail.h"

namespace tivlo::platform {
namespace {

TEST(Utf, EncodesEveryLength) {
    const std::u16string text = u"A\u00e9\u20ac\U0001F600z";
    const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
    EXPECT_EQ(Utf16ToUtf8(text), utf8);
    EXPECT_EQ(Utf8ToUtf16(utf8), text);
    EXPECT_EQ(Utf8ToUtf16(utf8).size(), 6u);  // the emoji is a surrogate pair
    EXPECT_EQ(Utf16ToUtf8(u""), "");
    EXPECT_EQ(Utf8ToUtf16(""), u"");
    // Edges of each length, and a NUL inside the text.
    const std::u16string edges = u"\u007f\u0080\u07ff\u0800\uffff\U00010000\U0010FFFF";
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(edges)), edges);
    EXPECT_EQ(Utf16ToUtf8(std::u16string(u"a\0b", 3)), std::string("a\0b", 3));
}

TEST(Utf, BrokenInputBecomesReplacementCharacters) {
    // Lone surrogates in UTF-16.
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD83D))), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xDE00), u'a'}), "\xEF\xBF\xBD" "a");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xD83D), u'a'}), "\xEF\xBF\xBD" "a");
    // Broken UTF-8.
    EXPECT_EQ(Utf8ToUtf16("\x80"), u"\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("a\xE2\x82"), u"a\uFFFD");             // cut short
    EXPECT_EQ(Utf8ToUtf16("\xE2\x82" "b"), u"\uFFFD" u"b");       // cut, then more
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");          // overlong lead
    EXPECT_EQ(Utf8ToUtf16("\xE0\x80\xAF"), u"\uFFFD");            // overlong
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD");            // encoded surrogate
    EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), u"\uFFFD");        // above U+10FFFF
    EXPECT_EQ(Utf8ToUtf16("\xFF" "x"), u"\uFFFD" u"x");
}

TEST(Utf, RandomTextRoundTripsAndRandomBytesNeverCrash) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 500; ++round) {
        std::u16string text;
        int length = static_cast<int>(rng() % 20);
        for (int i = 0; i < length; ++i) {
            uint32_t cp = rng() % 0x110000;
            if (cp >= 0xD800 && cp <= 0xDFFF) {
                cp = 0x41;
            }
            if (cp < 0x10000) {
                text.push_back(static_cast<char16_t>(cp));
            } else {
                cp -= 0x10000;
                text.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
                text.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
            }
        }
        ASSERT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);

        std::string bytes;
        for (int i = 0; i < length; ++i) {
            bytes.push_back(static_cast<char>(rng()));
        }
        std::u16string decoded = Utf8ToUtf16(bytes);
        EXPECT_LE(decoded.size(), bytes.size());
        // Whatever came out is valid and survives a round trip.
        EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(decoded)), decoded);
    }
}

TEST(AnsiCodePage, Cp1252BothWays) {
    EXPECT_EQ(AnsiToUtf16("\xE9", 1), u"\u00e9");
    EXPECT_EQ(AnsiToUtf16("caf\xE9 \x80 \x9F", 8), u"caf\u00e9 \u20ac \u0178");
    EXPECT_EQ(AnsiToUtf16("a\0b", 3), std::u16string(u"a\0b", 3));  // length, not NUL, ends it
    EXPECT_EQ(AnsiToUtf16("", 0), u"");
    EXPECT_EQ(Utf16ToAnsi(u"\u00e9"), "\xE9");
    EXPECT_EQ(Utf16ToAnsi(u"caf\u00e9 \u20ac \u0178"), "caf\xE9 \x80 \x9F");
    // Characters the code page lacks become '?', a surrogate pair one '?'.
    EXPECT_EQ(Utf16ToAnsi(u"x\u0100y"), "x?y");
    EXPECT_EQ(Utf16ToAnsi(u"\u4e2d\u6587"), "??");
    EXPECT_EQ(Utf16ToAnsi(u"a\U0001F600b"), "a?b");
    EXPECT_EQ(Utf16ToAnsi(std::u16string{u'a', char16_t(0xD800), u'b'}), "a?b");
    // Every byte the page defines goes there and back.
    for (int b = 1; b < 256; ++b) {
        char c = static_cast<char>(b);
        std::u16string wide = AnsiToUtf16(&c, 1);
        ASSERT_EQ(wide.size(), 1u) << b;
        if (wide != u"?") {
            EXPECT_EQ(Utf16ToAnsi(wide), std::string(1, c)) << b;
        }
    }
}

TEST(AnsiCodePage, EnvironmentNamesAnotherPage) {
    auto r = tivlo::test::RunChildCase("AnsiChild.*", {{"TIVLO_ANSI_CODEPAGE", "CP1251"}});
    EXPECT_EQ(r.exitCode, 0) << r.standardError;
    EXPECT_NE(r.standardError.find("cp1251 checked"), std::string::npos) << r.standardError;
}

TEST(AnsiChild, Cp1251) {
    if (!tivlo::test::InChildCase()) {
        GTEST_SKIP() << "runs in a child process";
    }
    EXPECT_EQ(AnsiToUtf16("\xE9", 1), u"\u0439");  // Cyrillic short i
    EXPECT_EQ(Utf16ToAnsi(u"\u0439\u00e9"), "\xE9?");
    std::fputs("cp1251 checked\n", stderr);
}

TEST(Users, CurrentUserAndHomes) {
    passwd* pw = ::getpwuid(::geteuid());
    ASSERT_NE(pw, nullptr);
    std::u16string name;
    ASSERT_TRUE(CurrentUserName(&name));
    EXPECT_EQ(name, Utf8ToUtf16(pw->pw_name));
    std::u16string home;
    ASSERT_TRUE(UserHome(name, &home));
    EXPECT_EQ(home, Utf8ToUtf16(pw->pw_dir));
    std::u16string ownHome;
    ASSERT_TRUE(UserHome(u"", &ownHome));  // the process's own account
    EXPECT_EQ(ownHome, home);
    EXPECT_FALSE(UserHome(u"no-such-user-tivlo", &home));
    EXPECT_EQ(IsNtFamily(), 1u);
}

TEST(Users, LogonUserFromTheEnvironment) {
    const char* saved = std::getenv("TIVLO_LOGON_USER");
    std::string keep = saved != nullptr ? saved : "";
    ::setenv("TIVLO_LOGON_USER", "alice", 1);
    std::u16string name;
    EXPECT_TRUE(LogonUserName(&name));
    EXPECT_EQ(name, u"alice");
    if (saved != nullptr) {
        ::setenv("TIVLO_LOGON_USER", keep.c_str(), 1);
    } else {
        ::unsetenv("TIVLO_LOGON_USER");
    }
}

// A home directory with a user-dirs file, removed afterwards.
class FakeHome : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tivlo-home-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        home_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }
    void WriteUserDirs(const std::string& text) {
        std::filesystem::create_directories(home_ + "/.config");
        std::ofstream(home_ + "/.config/user-dirs.dirs") << text;
    }
    std::string Folder(uint32_t csidl) {
        std::string path;
        return detail::XdgFolderInHome(csidl, home_, &path) ? path : "<none>";
    }
    std::string home_;
};

TEST_F(FakeHome, DefaultsWithoutUserDirs) {
    EXPECT_EQ(Folder(0), home_ + "/Desktop");
    EXPECT_EQ(Folder(16), home_ + "/Desktop");
    EXPECT_EQ(Folder(5), home_ + "/Documents");
    EXPECT_EQ(Folder(13), home_ + "/Music");
    EXPECT_EQ(Folder(14), home_ + "/Videos");
    EXPECT_EQ(Folder(39), home_ + "/Pictures");
    EXPECT_EQ(Folder(40), home_);
    EXPECT_EQ(Folder(25), "<none>");  // no such folder inside one home
    EXPECT_EQ(Folder(26), "<none>");
    EXPECT_EQ(Folder(0xFFFFFFFEu), "<none>");
    std::string path;
    EXPECT_FALSE(detail::XdgFolderInHome(0, "", &path));
}

TEST_F(FakeHome, UserDirsFileWins) {
    WriteUserDirs(
        "# This file is written by xdg-user-dirs-update\n"
        "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
        "XDG_DOCUMENTS_DIR=\"/srv/docs/\"\n"
        "  XDG_MUSIC_DIR=\"${HOME}/Musik\"\n"
        "XDG_VIDEOS_DIR=\"$HOME/My \\\"Videos\\\"\"\n"
        "XDG_PICTURES_DIR=relative/not/allowed\n");
    EXPECT_EQ(Folder(0), home_ + "/Schreibtisch");
    EXPECT_EQ(Folder(5), "/srv/docs");
    EXPECT_EQ(Folder(13), home_ + "/Musik");
    EXPECT_EQ(Folder(14), home_ + "/My \"Videos\"");
    EXPECT_EQ(Folder(39), home_ + "/Pictures");  // unusable entry: the default
    EXPECT_EQ(Folder(40), home_);
}

TEST(UserDirsParsing, EntriesAndComments) {
    std::string v;
    const std::string text =
        "#XDG_DESKTOP_DIR=\"$HOME/commented\"\n"
        "XDG_DESKTOP_DIRX=\"$HOME/other\"\n"
        "XDG_DESKTOP_DIR=\"$HOME/first\"\n"
        "XDG_DESKTOP_DIR=\"$HOME/second\"\n"
        "XDG_DOWNLOAD_DIR=\"$HOME/\"\n"
        "broken line\n";
    ASSERT_TRUE(detail::ParseUserDirs(text, "XDG_DESKTOP_DIR", "/home/u", &v));
    EXPECT_EQ(v, "/home/u/second");  // the last assignment, as a shell reads it
    ASSERT_TRUE(detail::ParseUserDirs(text, "XDG_DOWNLOAD_DIR", "/home/u", &v));
    EXPECT_EQ(v, "/home/u");
    EXPECT_FALSE(detail::ParseUserDirs(text, "XDG_MUSIC_DIR", "/home/u", &v));
    EXPECT_FALSE(detail::ParseUserDirs("", "XDG_DESKTOP_DIR", "/home/u", &v));
}

TEST(SpecialFolders, ResolvedInTheUsersHome) {
    passwd* pw = ::getpwuid(::geteuid());
    ASSERT_NE(pw, nullptr);
    const std::u16string user = Utf8ToUtf16(pw->pw_name);
    std::u16string path;
    ASSERT_TRUE(SpecialFolderPath(40, user, &path));
    EXPECT_EQ(path, Utf8ToUtf16(pw->pw_dir));
    ASSERT_TRUE(SpecialFolderPath(0, user, &path));
    std::string expected;
    ASSERT_TRUE(detail::XdgFolderInHome(0, pw->pw_dir, &expected));
    EXPECT_EQ(path, Utf8ToUtf16(expected));
    EXPECT_FALSE(SpecialFolderPath(99, user, &path));
    EXPECT_FALSE(SpecialFolderPath(0, u"no-such-user-tivlo", &path));

    // The common desktop is the desktop of the user at the seat.
    ::setenv("TIVLO_LOGON_USER", pw->pw_name, 1);
    std::u16string common;
    EXPECT_TRUE(SpecialFolderPath(25, u"no-such-user-tivlo", &common));
    EXPECT_EQ(common, Utf8ToUtf16(expected));
    ::unsetenv("TIVLO_LOGON_USER");
}

}  // namespace
}  // namespace tivlo::platform
