// The programs' own helpers: addresses, numbers, text, the words and names of
// the codes, the command-line syntax, JSON and a receiver's default roots.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "../../tools/common.h"
#include "../../tools/report.h"

using namespace tivlo_tool;

TEST(Tools, DottedQuadsAndNumbers) {
    const uint8_t bytes[4] = {235, 9, 2, 9};
    uint32_t group;
    std::memcpy(&group, bytes, 4);  // network order: the first number first
    EXPECT_EQ(ParseIpv4("235.9.2.9"), group);
    EXPECT_EQ(FormatIpv4(group), "235.9.2.9");
    EXPECT_EQ(ParseIpv4("255.255.255.255"), 0xFFFFFFFFu);
    for (const char* text : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "1.2.3.4 ", " 1.2.3.4", "1.2.3.-4",
                             "1234.1.1.1", "1.2.3.4/24", "0x7f.0.0.1"})
        EXPECT_FALSE(ParseIpv4(text).has_value()) << text;
    EXPECT_EQ(ParseNumber("4294967294", 0, 0xFFFFFFFEu), 4294967294u);
    EXPECT_EQ(ParseNumber("007", 0, 10), 7u);
    for (const char* text : {"4294967295", "99999999999", "", "+5", "-1", "1.5"})
        EXPECT_FALSE(ParseNumber(text, 0, 0xFFFFFFFEu).has_value()) << text;
    NetOptions options;
    std::string error;
    EXPECT_FALSE(ParseNetOption("group", "240.0.0.1", &options, &error));
    EXPECT_TRUE(ParseNetOption("group", "224.0.0.0", &options, &error));
    EXPECT_FALSE(ParseNetOption("group", "223.255.255.255", &options, &error));
    EXPECT_NE(error.find("223.255.255.255"), std::string::npos);
    // The sender answers on port + 2, which must exist.
    EXPECT_TRUE(ParseNetOption("port", "65533", &options, &error));
    for (const char* port : {"65534", "0", "27001x"}) EXPECT_FALSE(ParseNetOption("port", port, &options, &error));
    EXPECT_FALSE(ParseNetOption("interface", "eth0", &options, &error));
    EXPECT_TRUE(ParseNetOption("interface", "10.99.0.1", &options, &error));
    EXPECT_EQ(options.Describe(), "group 224.0.0.0 port 65533 interface 10.99.0.1");
    EXPECT_EQ(NetOptions{}.Describe(), "group 235.9.2.9 port 27001 interface of the default route");
}

TEST(Tools, EveryCodeHasItsOwnMeaningAndStableName) {
    for (uint32_t code : {32u, 1003u, 1006u, 1460u}) EXPECT_NE(SenderEndMeaning(code), SenderEndMeaning(999)) << code;
    for (uint32_t code : {112u, 1001u, 1002u, 1003u, 1004u, 1007u, 1008u})
        EXPECT_NE(ReceiverEndMeaning(code), ReceiverEndMeaning(999)) << code;
    for (uint32_t code : {0u, 1u, 112u, 1460u}) EXPECT_NE(ErrInfoMeaning(code), ErrInfoMeaning(999)) << code;
    for (int result = 2; result <= 7; ++result) EXPECT_NE(SelectResultMeaning(result), SelectResultMeaning(99));
    std::set<std::string> names;
    for (uint32_t code : {0u, 1u, 32u, 112u, 1001u, 1002u, 1003u, 1004u, 1006u, 1007u, 1008u, 1460u})
        EXPECT_TRUE(names.insert(CodeName(code)).second) << code;
    EXPECT_FALSE(names.count("UNKNOWN"));
    EXPECT_STREQ(CodeName(1460), "TIMED_OUT");
    EXPECT_STREQ(CodeName(5), "UNKNOWN");
    EXPECT_EQ(HumanBytes(999) + HumanBytes(20'100'000), "999 B20.1 MB");
}

TEST(Tools, OptionsValuesAndOperandsInAnyOrder) {
    const std::vector<OptionDef> defs = {{"target", 't', true, 't'}, {"verbose", 'v', false, 'v'},
        {"allow", 'a', true, 'a'}, {"allow-root", 'r', true, 'a'}, {"allow-any", 0, false, 'A'},
        {"expect", 0, true, 'e'}, {"expect-file", 0, true, 'f'}};
    // What is parsed: id=value per option, then |operands.
    const struct { std::vector<std::string> args; std::string parsed, error; } cases[] = {
        {{"x", "--target", "/d", "y"}, "t=/d |x y ", ""},
        {{"--target=/d", "-vt/e", "-t", "/f", "--", "-v"}, "t=/d v= t=/e t=/f |-v ", ""},
        {{"--targ", "/d", "--allow-r", "/r", "-"}, "t=/d a=/r |- ", ""},
        {{"--expect", "a,b", "--expect-f", "l"}, "e=a,b f=l |", ""},  // a name that begins another is exact
        {{"-v", "--allow", "/r", "--allo", "/s"}, "v= a=/r ", "option '--allo' is ambiguous"},
        {{"-v", "--speed"}, "v= ", "unrecognized option '--speed'"},
        {{"-x"}, "", "invalid option -- 'x'"},
        {{"a", "--target"}, "", "option '--target' requires an argument"},
        {{"-t"}, "", "option '-t' requires an argument"},
        {{"--verbose=1"}, "", "option '--verbose' doesn't allow an argument"},
    };
    for (const auto& c : cases) {
        CommandLine line = ParseCommandLine(c.args, defs);
        std::string parsed;
        for (const auto& option : line.options) parsed += char(option.id) + ("=" + option.value) + " ";
        if (c.error.empty()) {
            parsed += "|";
            for (const auto& operand : line.operands) parsed += operand + " ";
        }
        EXPECT_EQ(parsed, c.parsed) << c.args.front();
        EXPECT_EQ(line.error, c.error) << c.args.front();
    }
}

TEST(Tools, JsonEscapesTextAndNestsValues) {
    JsonWriter json;
    json.BeginObject().Key("s").String(std::string("q\"\\/\n\t\x01\xC3\xA9\xFF", 10));
    json.Key("a").BeginArray().Integer(7).Integer(std::optional<uint64_t>()).BeginObject().EndObject().EndArray();
    json.Key("r").Real(1.5, 3).Key("n").String(std::optional<std::string>()).Key("b").Bool(false).EndObject();
    EXPECT_EQ(json.text(), "{\"s\":\"q\\\"\\\\/\\n\\t\\u0001\xC3\xA9\xEF\xBF\xBD\",\"a\":[7,null,{}],"
                           "\"r\":1.500,\"n\":null,\"b\":false}");
    EXPECT_EQ(FormatUtc(WallClock::time_point(std::chrono::milliseconds(951782400123))), "2000-02-29T00:00:00.123Z");
}

// Without --allow, a receiver takes tasks only for the user's special folders
// and its working directory, never for "/" (a service's working directory).
TEST(Tools, DefaultRootsAreTheUsersFoldersAndTheWorkingDirectory) {
    const passwd* me = getpwuid(geteuid());
    ASSERT_TRUE(me != nullptr && setenv("TIVLO_LOGON_USER", me->pw_name, 1) == 0);
    auto roots = DefaultAllowedRoots("/srv/in");
    ASSERT_EQ(roots.size(), 6u) << "desktop, documents, music, videos, pictures and the working directory";
    EXPECT_EQ(roots.back(), u"/srv/in");
    for (size_t i = 0; i + 1 < roots.size(); ++i)
        EXPECT_EQ(Utf16ToUtf8(roots[i]).rfind(std::string(me->pw_dir) + "/", 0), 0u) << Utf16ToUtf8(roots[i]);
    for (const char* cwd : {"/", ""}) {
        auto without = DefaultAllowedRoots(cwd);
        EXPECT_EQ(without.size(), 5u);
        for (const auto& root : without) EXPECT_NE(root, u"/") << "a service started in / must not allow everything";
    }
    unsetenv("TIVLO_LOGON_USER");
}
