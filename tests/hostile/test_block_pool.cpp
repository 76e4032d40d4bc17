// The block queue when the disk is slower than the network: a bounded pool
// of buffers. Blocks that find no buffer are registered as missing and come
// back in the repair phase; memory stays within the pool.
#include <fstream>

#include "receiver/receiver_harness.h"

namespace tivlo::testing {
namespace {

// Peak resident memory of this process so far, in KiB (VmHWM).
long PeakKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

class BlockPool : public ReceiverFixture {};

TEST_F(BlockPool, BlocksThatFindNoBufferAreRepairedLater) {
    engine->blockPoolCapacity = 16;
    // A disk that takes 3 ms per block.
    engine->beforeWriteHook = [](const receiver::QueuedBlock&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    };
    Start();
    const Bytes content = Content(199 * protocol::kBlockSize + 10, 4);
    const uint32_t blocks = BlocksOf(content.size());
    AcceptTask(blocks, 1);
    for (uint32_t k = 0; k < blocks; ++k) sender.Send(DataBlock(1, k, u"\\slow.bin", content));

    const uint32_t missing = FinishAndAnswer();
    const uint32_t overflows = engine->poolOverflows.load();
    EXPECT_GT(overflows, 0u) << "the stream never outran the disk";
    EXPECT_GE(missing, overflows) << "a block without a buffer was dropped silently";
    {
        platform::LockGuard guard(engine->queueLock);
        EXPECT_LE(engine->queuePeak, 16u);
        EXPECT_EQ(engine->blockPoolSize, 16u);
    }

    // The repair phase serves every block the receiver names.
    sender.Send(PollPacket(1));
    for (int requests = 0; requests < 2000; ++requests) {
        auto ack = sender.AnswerOfType(protocol::kAck, 3000);
        ASSERT_TRUE(ack.has_value());
        const uint32_t file = U32(*ack, protocol::off::kAckFile);
        const uint32_t block = U32(*ack, protocol::off::kAckBlock);
        if (file == 2) break;  // nothing missing any more
        ASSERT_EQ(file, 1u);
        ASSERT_LT(block, blocks);
        sender.Send(RepairBlock(1, block, u"\\slow.bin", content));
    }
    sender.Send(PollPacket(0));
    auto finish = sender.AnswerOfType(protocol::kFinish, 3000);
    ASSERT_TRUE(finish.has_value());
    EXPECT_EQ((*finish)[3], 0);
    ASSERT_TRUE(host.WaitFor(1040, 0, 1, 10000));
    EXPECT_EQ(ReadFile(root / "slow.bin"), content);
}

TEST_F(BlockPool, PeakMemoryOfAStreamFasterThanTheDiskStaysWithinThePool) {
    // The default pool, and a disk of 1 ms per block against a stream as
    // fast as loopback takes it: 8000 blocks, 34 MB.
    engine->beforeWriteHook = [](const receiver::QueuedBlock&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    Start();
    const uint32_t blocks = 8000;
    const Bytes content = Content(size_t(blocks - 1) * protocol::kBlockSize + 1, 6);
    AcceptTask(blocks, 1);
    // Packets built before the peak is read, so that only the receiver's
    // memory shows.
    std::vector<Bytes> packets;
    packets.reserve(blocks);
    for (uint32_t k = 0; k < blocks; ++k) packets.push_back(DataBlock(1, k, u"\\fast.bin", content));
    const long before = PeakKiB();
    for (const Bytes& p : packets) sender.Send(p);
    // Until the receive thread has read what arrived (the write thread is
    // far behind by then).
    ASSERT_TRUE(Eventually([&] { return engine->poolOverflows.load() > 0; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long after = PeakKiB();
    uint32_t peak;
    {
        platform::LockGuard guard(engine->queueLock);
        peak = engine->queuePeak;
    }
    const long poolKiB = long(receiver::kBlockPoolBlocks * sizeof(receiver::QueuedBlock) / 1024);
    std::printf("stream of %u blocks (%.1f MiB) against a 1 ms/block disk: queue peak %u of %u buffers, "
                "%u blocks without a buffer, peak resident memory %ld KiB -> %ld KiB (+%ld KiB; pool %ld KiB)\n",
                blocks, content.size() / 1048576.0, peak, receiver::kBlockPoolBlocks, engine->poolOverflows.load(),
                before, after, after - before, poolKiB);
    EXPECT_LE(peak, receiver::kBlockPoolBlocks);
    EXPECT_GT(engine->poolOverflows.load(), 0u);
    // The pool was taken at initialisation; the stream adds far less than
    // its own size.
    EXPECT_LT(after - before, long(content.size() / 1024) / 2);
}

}  // namespace
}  // namespace tivlo::testing
