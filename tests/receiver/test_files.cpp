// The write thread's batching, file lengths, hostile blocks and the border
// between two tasks.
#include "receiver_harness.h"

namespace tivlo::testing {
namespace {

// WriteBlock driven directly, one queued packet at a time, so that what
// reached the disk can be looked at between blocks.
class WriteBlockTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tivlo-write-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        engine.SetTargetRoot(platform::Utf8ToUtf16(dir.string()));
    }
    void TearDown() override {
        if (engine.fileOpen) engine.currentFile.Close();
        engine.fileOpen = 0;
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    void Feed(const Bytes& packet) {
        receiver::QueuedBlock q;
        q.generation = engine.taskGeneration.load();
        q.length = uint32_t(packet.size());
        std::memcpy(q.bytes.data(), packet.data(), packet.size());
        engine.WriteBlock(q);
    }
    uintmax_t Size(const char* name) {
        std::error_code ec;
        auto n = fs::file_size(dir / name, ec);
        return ec ? uintmax_t(-1) : n;
    }
    fs::path dir;
    receiver::ClientEngine engine;
};

TEST_F(WriteBlockTest, ThirtyBlocksMakeOneWriteAndTheThirtyFirstANewBatch) {
    const Bytes content = Content(39 * protocol::kBlockSize + 100, 1);
    for (uint32_t b = 0; b < 29; ++b) Feed(DataBlock(1, b, u"\\f.bin", content));
    EXPECT_EQ(Size("f.bin"), 0u);  // still in the buffer
    Feed(DataBlock(1, 29, u"\\f.bin", content));
    EXPECT_EQ(Size("f.bin"), 30u * protocol::kBlockSize);  // 127,620 bytes at once
    for (uint32_t b = 30; b < 39; ++b) Feed(DataBlock(1, b, u"\\f.bin", content));
    EXPECT_EQ(Size("f.bin"), 30u * protocol::kBlockSize);
    Feed(DataBlock(1, 39, u"\\f.bin", content));  // the last block ends the batch
    EXPECT_EQ(ReadFile(dir / "f.bin"), content);
}

TEST_F(WriteBlockTest, ASkipWritesTheBatchAndARepairBlockIsWrittenAtOnce) {
    const Bytes content = Content(10 * protocol::kBlockSize + 7, 2);
    for (uint32_t b = 0; b <= 5; ++b) Feed(DataBlock(1, b, u"\\f.bin", content));
    EXPECT_EQ(Size("f.bin"), 0u);
    Feed(DataBlock(1, 7, u"\\f.bin", content));  // 6 lost
    EXPECT_EQ(Size("f.bin"), 6u * protocol::kBlockSize);
    Feed(RepairBlock(1, 6, u"\\f.bin", content));  // flushes block 7 first
    EXPECT_EQ(Size("f.bin"), 8u * protocol::kBlockSize);
    Bytes got = ReadFile(dir / "f.bin");
    EXPECT_TRUE(std::equal(got.begin(), got.end(), content.begin()));
}

TEST_F(WriteBlockTest, BuffersOfTheLastFileReachTheDiskWhenTheNextBegins) {
    const Bytes a = Content(5 * protocol::kBlockSize + 10, 3);
    const Bytes b = Content(50, 4);
    for (uint32_t k = 0; k < 5; ++k) Feed(DataBlock(1, k, u"\\a.bin", a));  // its last block is lost
    Feed(DataBlock(2, 0, u"\\b.bin", b));
    EXPECT_EQ(Size("a.bin"), 5u * protocol::kBlockSize);
    EXPECT_EQ(ReadFile(dir / "b.bin"), b);
    Feed(RepairBlock(1, 5, u"\\a.bin", a));
    EXPECT_EQ(ReadFile(dir / "a.bin"), a);
}

TEST_F(WriteBlockTest, ALongerFileAtThePathIsCutToTheSendersLength) {
    WriteFile(dir / "old.bin", Content(200000, 7));
    const Bytes fresh = Content(3 * protocol::kBlockSize + 5, 8);
    for (uint32_t k = 0; k < 3; ++k) Feed(DataBlock(1, k, u"\\old.bin", fresh));
    Feed(DataBlock(2, 0, u"\\other.bin", Content(1, 1)));
    // Reopened later in the same task for its missing last block.
    Feed(RepairBlock(1, 3, u"\\old.bin", fresh));
    EXPECT_EQ(ReadFile(dir / "old.bin"), fresh);
}

TEST_F(WriteBlockTest, HostileNamesAreRefusedAndNothingIsWrittenOutside) {
    LogRecorder log;
    const Bytes content = Content(100, 9);
    Feed(DataBlock(1, 0, u"\\..\\escaped.bin", content));
    Feed(DataBlock(2, 0, u"no-backslash.bin", content));
    Feed(DataBlock(3, 0, u"\\\\host\\share.bin", content));
    Feed(DataBlock(4, 0, u"\\C:\\drive.bin", content));
    EXPECT_FALSE(fs::exists(dir.parent_path() / "escaped.bin"));
    EXPECT_TRUE(fs::is_empty(dir));
    EXPECT_EQ(engine.currentFileIndex, 0u);
    // The characters Windows forbids are dropped from the name.
    Feed(DataBlock(5, 0, u"\\we<ir>d?*.bin", content));
    EXPECT_EQ(ReadFile(dir / "weird.bin"), content);
}

TEST_F(WriteBlockTest, ANewTaskNeverWritesIntoTheFileOfThePreviousOne) {
    const Bytes first = Content(3 * protocol::kBlockSize + 1, 1);
    Feed(DataBlock(1, 0, u"\\first.bin", first));
    Feed(DataBlock(1, 1, u"\\first.bin", first));
    engine.taskGeneration.fetch_add(1);  // what a new Task does
    const Bytes second = Content(3 * protocol::kBlockSize + 1, 2);
    // Same file index, and a block that would continue the old batch.
    Feed(DataBlock(1, 2, u"\\second.bin", second));
    Feed(DataBlock(1, 3, u"\\second.bin", second));
    Bytes gotFirst = ReadFile(dir / "first.bin");
    EXPECT_EQ(gotFirst.size(), 2u * protocol::kBlockSize);
    EXPECT_TRUE(std::equal(gotFirst.begin(), gotFirst.end(), first.begin()));
    Bytes gotSecond = ReadFile(dir / "second.bin");
    ASSERT_EQ(gotSecond.size(), second.size());
    EXPECT_TRUE(std::equal(gotSecond.begin() + 2 * protocol::kBlockSize, gotSecond.end(),
                           second.begin() + 2 * protocol::kBlockSize));
}

using HostileTest = ReceiverFixture;

TEST_F(HostileTest, MalformedBlocksNeverReachAFile) {
    Start();
    const Bytes content = Content(3 * protocol::kBlockSize + 50, 6);
    AcceptTask(4, 1);
    sender.Send(DataBlock(1, 0, u"\\f.bin", content));
    // Stale bytes: a cut copy of block 1 of another content would leave the
    // previous datagram's bytes in the receive buffer behind it.
    const Bytes other = Content(content.size(), 99);
    Bytes cut = DataBlock(1, 1, u"\\f.bin", other);
    cut.resize(protocol::kBlockHeadSize + 100);
    sender.Send(cut);
    Bytes head = DataBlock(1, 1, u"\\f.bin", other);
    head.resize(protocol::kBlockHeadSize - 1);  // not even the head
    sender.Send(head);
    Bytes beyond = DataBlock(1, 2, u"\\f.bin", other);
    protocol::PutU32(beyond.data() + protocol::off::kBlockIndex, 9);  // past the last block
    sender.Send(beyond);
    Bytes longLast = DataBlock(1, 3, u"\\f.bin", other);
    protocol::PutU16(longLast.data() + protocol::off::kBlockLastLength, 4255);
    sender.Send(longLast);
    Bytes fileZero = DataBlock(1, 1, u"\\f.bin", other);
    protocol::PutU32(fileZero.data() + protocol::off::kBlockFile, 0);
    sender.Send(fileZero);
    Bytes fileTwo = DataBlock(1, 1, u"\\g.bin", other);
    protocol::PutU32(fileTwo.data() + protocol::off::kBlockFile, 2);  // the task has one file
    sender.Send(fileTwo);
    Bytes hugeCount = DataBlock(1, 1, u"\\f.bin", other);
    protocol::PutU32(hugeCount.data() + protocol::off::kBlockNameCount, 0xFFFFFFFFu);
    sender.Send(hugeCount);
    Bytes streamOff = DataBlock(1, 1, u"\\f.bin", other);
    streamOff[protocol::off::kBlockStreamFlag] = 0;
    sender.Send(streamOff);
    for (uint32_t b = 1; b < BlocksOf(content.size()); ++b) sender.Send(DataBlock(1, b, u"\\f.bin", content));
    EXPECT_EQ(FinishAndAnswer(), 0u);
    ASSERT_TRUE(host.WaitFor(1040, 0, 1));
    EXPECT_EQ(ReadFile(root / "f.bin"), content);
    EXPECT_FALSE(fs::exists(root / "g.bin"));
    EXPECT_EQ(host.Count(1040, receiver::kCodeCreateFailed), 0);
}

TEST_F(HostileTest, AHostileFileNameIsRefusedWithFinishAndCreateFailure) {
    Start();
    AcceptTask(2, 1);
    sender.Send(DataBlock(1, 0, u"\\..\\..\\escaped.bin", Content(10, 1)));
    auto finish = sender.AnswerOfType(protocol::kFinish);
    ASSERT_TRUE(finish);
    EXPECT_EQ((*finish)[3], 1);
    ASSERT_TRUE(host.WaitFor(1040, receiver::kCodeCreateFailed, 0));
    EXPECT_FALSE(fs::exists(sandbox.parent_path() / "escaped.bin"));
    EXPECT_FALSE(fs::exists(sandbox / "escaped.bin"));
}

TEST_F(HostileTest, AFilePathOverTwoHundredSixtyCharactersGivesUp) {
    Start();
    AcceptTask(2, 1);
    const std::u16string name = u"\\" + std::u16string(260 - rootText.size(), u'n');
    sender.Send(DataBlock(1, 0, name, Content(10, 1)));
    auto finish = sender.AnswerOfType(protocol::kFinish);
    ASSERT_TRUE(finish);
    EXPECT_EQ((*finish)[3], 1);
    ASSERT_TRUE(host.WaitFor(1040, receiver::kCodePathTooLong, 0));
    EXPECT_TRUE(!fs::exists(root) || fs::is_empty(root));
}

TEST_F(HostileTest, DataBlocksBeforeAnyTaskAreIgnored) {
    Start();
    sender.Send(DataBlock(1, 0, u"\\tivlo-receiver-stray.bin", Content(10, 1)));
    sender.Send(Collect());
    ASSERT_TRUE(sender.AnswerOfType(protocol::kJoin));
    EXPECT_EQ(engine->QueuedCount(), 0u);
    EXPECT_EQ(host.Count(1042), 0);
    EXPECT_FALSE(fs::exists("/tivlo-receiver-stray.bin"));
}

TEST_F(HostileTest, ATaskWithMoreFilesThanBlocksIsNoTask) {
    Start();
    sender.Send(TaskPacket(3, 4, receiver::kAllBitsMode, rootText));
    sender.Send(Collect());
    ASSERT_TRUE(sender.AnswerOfType(protocol::kJoin));
    EXPECT_EQ(host.Count(1039), 0);
}

}  // namespace
}  // namespace tivlo::testing
