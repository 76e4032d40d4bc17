// A rogue sender on the data group against a real receiver: target roots
// outside the policy or climbing out of it, names that climb, directory
// floods, impossible blocks and a Task of 2^32-1 blocks. Each is ignored or
// refused with its code, and a legitimate sender's task on the same receiver
// still ends byte-exact.
#include <sys/stat.h>

#include "receiver/receiver_harness.h"

namespace tivlo::testing {
namespace {

// Everything a directory tree holds, as relative paths.
std::set<std::string> Tree(const fs::path& dir) {
    std::set<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::recursive_directory_iterator(); it.increment(ec))
        out.insert(fs::relative(it->path(), dir).string());
    return out;
}

class RogueSender : public ReceiverFixture {
protected:
    // The legitimate sender's task: two files streamed in order, the
    // Finish, and the receiver's Answer; returns the Answer's count.
    uint32_t LegitTask(const fs::path& target, const std::function<void(uint32_t step)>& between = {}) {
        first = Content(7 * protocol::kBlockSize + 99, 1);
        second = Content(protocol::kBlockSize * 2, 2);
        const std::u16string targetText = platform::Utf8ToUtf16(target.string());
        const int before = host.Count(1039);
        sender.Send(ServerOsPacket(1));
        sender.Send(TaskPacket(BlocksOf(first.size()) + BlocksOf(second.size()), 2, receiver::kAllBitsMode, targetText));
        EXPECT_TRUE(Eventually([&] { return host.Count(1039) > before; }));
        uint32_t step = 0;
        for (uint32_t k = 0; k < BlocksOf(first.size()); ++k) {
            sender.Send(DataBlock(1, k, u"\\in\\first.bin", first));
            if (between) between(step++);
        }
        for (uint32_t k = 0; k < BlocksOf(second.size()); ++k) {
            sender.Send(DataBlock(2, k, u"\\second.bin", second));
            if (between) between(step++);
        }
        return FinishAndAnswer();
    }
    void ExpectLegitFiles(const fs::path& target) {
        EXPECT_TRUE(host.WaitFor(1040, 0, 1)) << "no completion";
        EXPECT_EQ(ReadFile(target / "in" / "first.bin"), first);
        EXPECT_EQ(ReadFile(target / "second.bin"), second);
    }
    // A new receiver on the same engine, as a host does after a refusal.
    void Restart() {
        engine->CloseAll();
        ASSERT_EQ(engine->Initialize(kLoopback), 1);
        engine->StartThreads();
    }
    Bytes first, second;
};

TEST_F(RogueSender, RootsOutsideThePolicyAreRefusedAndALegitTaskThenCompletes) {
    const fs::path allowed = sandbox / "allowed";
    fs::create_directories(allowed);
    // A link inside the allowed directory that leads out of it.
    fs::create_directory_symlink(sandbox / "elsewhere", allowed / "link");
    engine->SetAllowedRoots({platform::Utf8ToUtf16(allowed.string())});
    Start();
    const std::vector<std::string> roots = {"/etc", (allowed / ".." / "elsewhere").string(),
                                            (allowed / "link" / "deeper").string(), "relative/path"};
    for (const std::string& root : roots) {
        SCOPED_TRACE(root);
        const int refusals = host.Count(1040, 1002);
        sender.Send(TaskPacket(3, 1, receiver::kAllBitsMode, platform::Utf8ToUtf16(root)));
        auto finish = sender.AnswerOfType(protocol::kFinish);
        ASSERT_TRUE(finish.has_value());
        EXPECT_EQ((*finish)[3], 1);
        EXPECT_TRUE(Eventually([&] { return host.Count(1040, 1002) == refusals + 1; }));
        sender.Send(DataBlock(1, 0, u"\\passwd", Content(10, 9)));
        Restart();
    }
    EXPECT_EQ(host.Count(1039), 0);
    EXPECT_EQ(log.Count(u"\nTivlo-----Target root /etc lies outside the allowed directories, task refused!\n"), 1);
    EXPECT_FALSE(fs::exists(sandbox / "elsewhere"));
    EXPECT_EQ(Tree(allowed), std::set<std::string>{"link"});

    EXPECT_EQ(LegitTask(allowed / "inbox"), 0u);
    ExpectLegitFiles(allowed / "inbox");
}

TEST_F(RogueSender, ImpossibleBlocksBesideALegitStreamChangeNothing) {
    Start();
    const fs::path target = root;
    const Bytes junk = Content(protocol::kBlockSize * 3, 7);
    std::vector<Bytes> rogue;
    rogue.push_back(DataBlock(0, 0, u"\\zero.bin", junk));                 // file 0
    rogue.push_back(DataBlock(3, 0, u"\\three.bin", junk));                // beyond the count
    rogue.push_back(DataBlock(0xFFFFFFFFu, 1, u"\\max.bin", junk));
    Bytes pastLast = DataBlock(1, 0, u"\\in\\first.bin", junk);
    protocol::PutU32(pastLast.data() + protocol::off::kBlockIndex, 5);    // block beyond its last
    rogue.push_back(pastLast);
    Bytes longTail = DataBlock(2, 2, u"\\second.bin", Content(2 * protocol::kBlockSize, 2));
    protocol::PutU16(longTail.data() + protocol::off::kBlockLastLength, 60000);  // last length over 4254
    rogue.push_back(longTail);
    Bytes cut = DataBlock(1, 3, u"\\in\\first.bin", junk);
    cut.resize(cut.size() - 100);                                            // shorter than its data
    rogue.push_back(cut);
    rogue.push_back(DataBlock(1, 2, u"\\in\\first.bin", Content(40 * protocol::kBlockSize, 5)));  // another shape
    Bytes huge = DataBlock(2, 0, u"\\second.bin", junk);
    protocol::PutU32(huge.data() + protocol::off::kBlockLastIndex, 0xFFFFFFF0u);  // more blocks than the task
    protocol::PutU32(huge.data() + protocol::off::kBlockIndex, 0xFFFFFFEFu);
    rogue.push_back(huge);
    Bytes shortHead(300, 0);
    shortHead[0] = protocol::kMagic0;
    shortHead[1] = protocol::kMagic1;
    shortHead[2] = protocol::kDataBlock;
    rogue.push_back(shortHead);

    const uint32_t missing = LegitTask(target, [&](uint32_t step) {
        for (const Bytes& r : rogue) sender.Send(r);
        (void)step;
    });
    EXPECT_EQ(missing, 0u) << "the rogue blocks made blocks look missing";
    ExpectLegitFiles(target);
    EXPECT_EQ(Tree(target), (std::set<std::string>{"in", "in/first.bin", "second.bin"}));
    EXPECT_EQ(host.Count(1040, 1001), 0);
    EXPECT_EQ(host.Count(1040, receiver::kCodeIncomplete), 0);
}

TEST_F(RogueSender, DirectoryFloodsStayInsideTheRootAndAClimbingEntryEndsThePart) {
    Start();
    AcceptTask(4, 1);
    // Forty entries at a time, again and again.
    for (int packet = 0; packet < 5; ++packet) {
        std::vector<std::u16string> names;
        for (int i = 0; i < 40; ++i)
            names.push_back(u"\\flood" + platform::Utf8ToUtf16(std::to_string(packet)) + u"\\d" +
                            platform::Utf8ToUtf16(std::to_string(i)));
        sender.Send(EmptyDirsPacket(names));
    }
    ASSERT_TRUE(Eventually([&] { return fs::is_directory(root / "flood4" / "d39"); }));
    EXPECT_EQ(Tree(root).size(), 5u * 41u);
    // Forty entries whose last climbs out: the first 39 are made, then the
    // receiver gives up with 1007.
    std::vector<std::u16string> names;
    for (int i = 0; i < 39; ++i) names.push_back(u"\\late\\e" + platform::Utf8ToUtf16(std::to_string(i)));
    names.push_back(u"\\late\\..\\..\\..\\escaped");
    sender.Send(EmptyDirsPacket(names));
    auto finish = sender.AnswerOfType(protocol::kFinish);
    ASSERT_TRUE(finish.has_value());
    EXPECT_EQ((*finish)[3], 1);
    EXPECT_TRUE(host.WaitFor(1040, 1007));
    EXPECT_TRUE(fs::is_directory(root / "late" / "e38"));
    EXPECT_EQ(Tree(sandbox), [&] {
        std::set<std::string> expected;
        for (const auto& p : Tree(root)) expected.insert("root/" + p);
        expected.insert("root");
        return expected;
    }()) << "something was made outside the root";
}

TEST_F(RogueSender, ClimbingFileNamesAreRefusedWithCode1001) {
    Start();
    for (const char16_t* name : {u"\\..\\evil.bin", u"\\in\\..\\..\\evil.bin", u"\\\\server\\share\\x", u"C:\\x",
                                 u"relative.bin"}) {
        SCOPED_TRACE(platform::Utf16ToUtf8(name));
        const int refusals = host.Count(1040, 1001);
        AcceptTask(1, 1);
        sender.Send(DataBlock(1, 0, name, Content(100, 3)));
        EXPECT_TRUE(Eventually([&] { return host.Count(1040, 1001) == refusals + 1; }));
    }
    EXPECT_FALSE(fs::exists(sandbox / "evil.bin"));
    EXPECT_FALSE(fs::exists(root / "evil.bin"));
    EXPECT_TRUE(Tree(root).empty() || Tree(root) == std::set<std::string>{"in"});
}

TEST_F(RogueSender, ATaskOfAllBlocksIsRefusedForWantOfSpace) {
    freeBytes = uint64_t(1) << 40;  // a terabyte free: far from 2^32-1 blocks
    Start();
    sender.Send(TaskPacket(0xFFFFFFFFu, 1, receiver::kAllBitsMode, rootText));
    auto finish = sender.AnswerOfType(protocol::kFinish);
    ASSERT_TRUE(finish.has_value());
    EXPECT_EQ((*finish)[3], 1);
    EXPECT_TRUE(host.WaitFor(1040, 112));
    EXPECT_EQ(host.Count(1039), 0);
    // And the receiver after it takes the legitimate task.
    Restart();
    EXPECT_EQ(LegitTask(root), 0u);
    ExpectLegitFiles(root);
}

}  // namespace
}  // namespace tivlo::testing
