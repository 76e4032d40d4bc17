// The stream pass on loopback: Collect, Task, Stop, Empty directories and
// Data blocks from a scripted sender, checked by the receiver's answers, its
// host messages and the files on disk.
#include "receiver_harness.h"

namespace tivlo::testing {
namespace {

using StreamTest = ReceiverFixture;

TEST_F(StreamTest, EveryCollectGetsAJoinFromTheDataPort) {
    Start();
    for (int i = 0; i < 3; ++i) sender.Send(Collect());
    for (int i = 0; i < 3; ++i) {
        auto join = sender.AnswerOfType(protocol::kJoin);
        ASSERT_TRUE(join) << "join " << i;
        EXPECT_EQ(join->size(), protocol::kJoinSize);
        EXPECT_EQ((*join)[3], 1);  // Unicode names
        EXPECT_EQ(sender.lastFrom.port, port);
    }
    EXPECT_FALSE(sender.Answer(150));
}

TEST_F(StreamTest, PacketsWithoutMagicOrOfOtherTypesAreIgnored) {
    Start();
    for (uint8_t type : {0, 2, 5, 12, 14, 15, 200}) sender.Send(Bytes{0x91, 0x02, type, 0, 0, 0, 0, 0, 0, 0, 0});
    sender.Send(Bytes{0x02, 0x91, protocol::kCollect});  // magic the wrong way round
    sender.Send(Bytes{0x91});                             // too short for anything
    EXPECT_FALSE(sender.Answer(300));
    EXPECT_TRUE(host.Messages().empty());
    sender.Send(Collect());
    EXPECT_TRUE(sender.AnswerOfType(protocol::kJoin));
}

TEST_F(StreamTest, EveryTaskThatFitsIsAnnouncedAndStopIsPassedOn) {
    Start();
    for (int i = 0; i < 3; ++i) sender.Send(TaskPacket(77, 5, receiver::kAllBitsMode, rootText));
    ASSERT_TRUE(Eventually([&] { return host.Count(1039) == 3; }));
    EXPECT_EQ(host.Count(1039, 5, 77), 3);
    EXPECT_EQ(engine->TargetRoot(), rootText);
    for (int i = 0; i < 3; ++i) sender.Send(StopPacket());
    ASSERT_TRUE(Eventually([&] { return host.Count(1040, 0, 0) == 3; }));
    // Stop changes nothing else: the receiver still answers.
    sender.Send(Collect());
    EXPECT_TRUE(sender.AnswerOfType(protocol::kJoin));
    EXPECT_FALSE(sender.skipped.size() > 0 && sender.skipped[0][2] == protocol::kFinish);
}

TEST_F(StreamTest, TargetNotOnAFixedDiskIsRefused) {
    platform::SetFixedDiskOverride([](const std::u16string&) { return false; });
    Start();
    sender.Send(TaskPacket(10, 1, receiver::kAllBitsMode, rootText));
    auto finish = sender.AnswerOfType(protocol::kFinish);
    ASSERT_TRUE(finish);
    EXPECT_EQ((*finish)[3], 1);
    ASSERT_TRUE(host.WaitFor(1040, 1002, 0));
    EXPECT_EQ(host.Count(1039), 0);
    ASSERT_TRUE(Eventually([&] { return ReceiveThreadEnded(); }));
    sender.Send(Collect());
    EXPECT_FALSE(sender.AnswerOfType(protocol::kJoin, 300));
}

TEST_F(StreamTest, AWindowsPathIsNoTargetHere) {
    platform::SetFixedDiskOverride(nullptr);  // the real check
    Start();
    sender.Send(TaskPacket(10, 1, receiver::kAllBitsMode, u"D:\\Incoming"));
    auto finish = sender.AnswerOfType(protocol::kFinish);
    ASSERT_TRUE(finish);
    EXPECT_EQ((*finish)[3], 1);
    ASSERT_TRUE(host.WaitFor(1040, 1002, 0));
    EXPECT_EQ(host.Count(1039), 0);
}

TEST_F(StreamTest, TooLittleSpaceIsRefusedAlsoAboveFourGigabytes) {
    freeBytes = 1 << 20;
    Start();
    // 1,009,631 blocks: 4,294,970,274 bytes, which 32 bits would take for 2,978.
    sender.Send(TaskPacket(1009631, 1, receiver::kAllBitsMode, rootText));
    auto finish = sender.AnswerOfType(protocol::kFinish);
    ASSERT_TRUE(finish);
    EXPECT_EQ((*finish)[3], 1);
    ASSERT_TRUE(host.WaitFor(1040, 112, 0));
    EXPECT_EQ(host.Count(1039), 0);
    EXPECT_EQ(log.Count("\nTivlo-----No free space to write file!\n"), 1);
}

TEST_F(StreamTest, EmptyDirectoriesAreCreatedUnderTheRoot) {
    Start();
    AcceptTask(1, 1);
    sender.Send(EmptyDirsPacket({u"\\empty", u"\\a\\b\\c", u"\\sp ace\\\u00fcml"}));
    ASSERT_TRUE(Eventually([&] { return fs::is_directory(root / "sp ace" / "\u00fcml"); }));
    EXPECT_TRUE(fs::is_directory(root / "empty"));
    EXPECT_TRUE(fs::is_directory(root / "a" / "b" / "c"));
    EXPECT_EQ(host.Count(1040), 0);
}

TEST_F(StreamTest, ATooLongDirectoryPathGivesUpAfterTheEarlierOnes) {
    Start();
    AcceptTask(1, 1);
    const std::u16string longName = u"\\" + std::u16string(260 - rootText.size(), u'x');
    ASSERT_GT(rootText.size() + longName.size(), 260u);
    sender.Send(EmptyDirsPacket({u"\\one", u"\\two", longName, u"\\four"}));
    auto finish = sender.AnswerOfType(protocol::kFinish);
    ASSERT_TRUE(finish);
    EXPECT_EQ((*finish)[3], 1);
    ASSERT_TRUE(host.WaitFor(1040, 1007, 0));
    EXPECT_TRUE(fs::is_directory(root / "one"));
    EXPECT_TRUE(fs::is_directory(root / "two"));
    EXPECT_FALSE(fs::exists(root / "four"));
    ASSERT_TRUE(Eventually([&] { return ReceiveThreadEnded(); }));
}

TEST_F(StreamTest, HostileDirectoryNamesAreRefusedAndNothingLeavesTheRoot) {
    Start();
    AcceptTask(1, 1);
    sender.Send(EmptyDirsPacket({u"\\fine", u"\\..\\escaped"}));
    ASSERT_TRUE(host.WaitFor(1040, 1007, 0));
    EXPECT_TRUE(fs::is_directory(root / "fine"));
    EXPECT_FALSE(fs::exists(sandbox / "escaped"));
}

TEST_F(StreamTest, EmptyDirectoriesBeforeAnyTaskAreIgnored) {
    Start();
    sender.Send(EmptyDirsPacket({u"\\tivlo-receiver-test-dir"}));
    sender.Send(Collect());
    ASSERT_TRUE(sender.AnswerOfType(protocol::kJoin));
    EXPECT_FALSE(fs::exists("/tivlo-receiver-test-dir"));
    EXPECT_EQ(host.Count(1040), 0);
}

TEST_F(StreamTest, AnInOrderStreamMakesByteExactFilesAndCompletes) {
    Start();
    const Bytes big = Content(70 * protocol::kBlockSize + 1234, 1);  // three batches
    const Bytes even = Content(2 * protocol::kBlockSize, 2);         // last block empty
    const Bytes empty;
    const uint32_t total = BlocksOf(big.size()) + BlocksOf(even.size()) + BlocksOf(0);
    AcceptTask(total, 3);
    for (uint32_t b = 0; b < BlocksOf(big.size()); ++b) sender.Send(DataBlock(1, b, u"\\sub\\big.bin", big));
    for (uint32_t b = 0; b < BlocksOf(even.size()); ++b) sender.Send(DataBlock(2, b, u"\\even.bin", even));
    sender.Send(DataBlock(3, 0, u"\\sub\\deeper\\empty.bin", empty));
    EXPECT_EQ(FinishAndAnswer(), 0u);
    ASSERT_TRUE(host.WaitFor(1040, 0, 1));
    EXPECT_EQ(ReadFile(root / "sub" / "big.bin"), big);
    EXPECT_EQ(ReadFile(root / "even.bin"), even);
    ASSERT_TRUE(fs::exists(root / "sub" / "deeper" / "empty.bin"));
    EXPECT_EQ(fs::file_size(root / "sub" / "deeper" / "empty.bin"), 0u);
    EXPECT_EQ(host.Count(1042), int(total));
    EXPECT_EQ(host.Messages().back().message, 1040u);
    ASSERT_TRUE(Eventually([&] { return log.Count("\n-------------Receive") == 1; }));
    EXPECT_EQ(host.Count(1040, receiver::kCodeIncomplete), 0);
}

TEST_F(StreamTest, EachFileAnnouncesItsNameToTheHost) {
    Start();
    const Bytes a = Content(10, 3), b = Content(20, 4);
    AcceptTask(2, 2);
    sender.Send(DataBlock(1, 0, u"\\A\u00e9.txt", a));
    sender.Send(DataBlock(2, 0, u"\\dir\\B.txt", b));
    ASSERT_TRUE(Eventually([&] { return host.Count(1042) == 2; }));
    std::vector<std::u16string> names;
    for (const auto& m : host.Messages())
        if (m.message == 1042) names.push_back(m.text);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"\\A\u00e9.txt", u"\\dir\\B.txt"}));
}

TEST_F(StreamTest, SingleByteNamesFromTheSender) {
    Start();
    sender.Send(ServerOsPacket(0));
    // The Task's path comes single-byte too.
    protocol::Task task;
    task.totalBlocks = 1;
    task.fileCount = 1;
    task.mode = receiver::kAllBitsMode;
    task.path = protocol::NarrowNameField(root.string());
    Bytes taskPacket(protocol::kTaskSize);
    protocol::EncodeTask(task, taskPacket.data());
    sender.Send(taskPacket);
    ASSERT_TRUE(host.WaitFor(1039));
    EXPECT_EQ(engine->TargetRoot(), rootText);
    const Bytes content = Content(100, 5);
    Bytes packet = DataBlock(1, 0, u"", content);
    const uint8_t name[] = {'\\', 'c', 'a', 'f', 0xE9, '.', 't', 'x', 't', 0};
    std::memset(packet.data() + protocol::off::kBlockName, 0, protocol::kNameFieldBytes);
    std::memcpy(packet.data() + protocol::off::kBlockName, name, sizeof name);
    protocol::PutU32(packet.data() + protocol::off::kBlockNameCount, sizeof name);
    sender.Send(packet);
    EXPECT_EQ(FinishAndAnswer(), 0u);
    ASSERT_TRUE(host.WaitFor(1040, 0, 1));
    EXPECT_EQ(ReadFile(root / "caf\u00e9.txt"), content);
}

// How many blocks the Answer counts for a stream with these holes.
class GapTest : public ReceiverFixture {
protected:
    uint32_t Run(uint32_t files, const std::vector<std::pair<uint32_t, uint32_t>>& sent, uint32_t blocksPerFile) {
        Start();
        const Bytes content = Content(size_t(blocksPerFile - 1) * protocol::kBlockSize + 100, 9);
        AcceptTask(files * blocksPerFile, files);
        for (auto [f, b] : sent) sender.Send(DataBlock(f, b, u"\\f" + std::u16string(1, char16_t(u'0' + f)), content));
        return FinishAndAnswer();
    }
};

TEST_F(GapTest, LeadingBlocksOfTheFirstFileCount) {
    // Block 0 of file 1 too: the stream starts with block 5.
    EXPECT_EQ(Run(1, {{1, 5}, {1, 6}, {1, 7}, {1, 8}, {1, 9}}, 10), 5u);
}

TEST_F(GapTest, AFirstFileNeverSeenCounts) {
    // File 1 stands as one entry, as every wholly skipped file does.
    EXPECT_EQ(Run(2, {{2, 0}, {2, 1}, {2, 2}, {2, 3}}, 4), 1u);
}

TEST_F(GapTest, TheTailOfAFileBeforeTheNextOne) {
    EXPECT_EQ(Run(2, {{1, 0}, {1, 1}, {1, 2}, {2, 0}, {2, 1}, {2, 2}, {2, 3}}, 4), 1u);
}

TEST_F(GapTest, TheHeadOfAFileAfterACompleteOne) {
    EXPECT_EQ(Run(2, {{1, 0}, {1, 1}, {1, 2}, {1, 3}, {2, 2}, {2, 3}}, 4), 2u);
}

TEST_F(GapTest, AWholeFileBetweenTwoAndTheRestAfterTheLastBlockSeen) {
    // File 2 skipped (one entry), file 3 stops after block 1 (two entries),
    // file 4 never comes (one entry).
    EXPECT_EQ(Run(4, {{1, 0}, {1, 1}, {1, 2}, {1, 3}, {3, 0}, {3, 1}}, 4), 4u);
}

TEST_F(GapTest, AHoleInsideAFile) { EXPECT_EQ(Run(1, {{1, 0}, {1, 1}, {1, 5}, {1, 6}, {1, 7}}, 8), 3u); }

}  // namespace
}  // namespace tivlo::testing
