// The receiver's missing-block set against a plain model, and the receiver
// core fed datagrams by hand: gaps in the stream, and the ways a task must
// not end as complete.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <set>

#include "fuzz/quiet_receiver.h"
#include "platform/path_rules.h"
#include "platform/system.h"
#include "protocol/blocks.h"
#include "protocol/packets.h"
#include "receiver/receiver_core.h"
#include "tivlo/tivlo_codes.h"

namespace tivlo::receiver {
namespace {

using protocol::Ms;
using Bytes = std::vector<uint8_t>;

TEST(MissingSet, BehavesLikeASetOfBlocksWhateverTheRanges) {
    // A file never seen stands as its block 0: the same entry.
    std::mt19937 rng(7);
    MissingSet set;
    std::set<std::pair<uint32_t, uint32_t>> model;
    for (int step = 0; step < 20000; ++step) {
        const uint32_t f = 1 + rng() % 6, b = rng() % 40;
        switch (rng() % 4) {
            case 0: {
                const uint32_t last = b + rng() % 8;
                set.AddBlocks(f, b, last);
                for (uint32_t k = b; k <= last; ++k) model.insert({f, k});
                break;
            }
            case 1:
                set.AddFiles(f, f + b % 3);
                for (uint32_t g = f; g <= f + b % 3; ++g) model.insert({g, 0});
                break;
            case 2: EXPECT_EQ(set.Remove(f, b), model.erase({f, b}) == 1); break;
            default: EXPECT_EQ(set.Contains(f, b), model.contains({f, b}));
        }
        ASSERT_EQ(set.Count(), model.size()) << "step " << step;
        if (!model.empty()) {
            ASSERT_EQ(set.First(), (BlockRef{model.begin()->first, model.begin()->second}));
        }
    }
}

// A receiver core with a machine that records what it is asked.
struct Rig : QuietReceiver {
    std::vector<Bytes> sent;
    std::vector<std::u16string> paths;
    std::vector<uint32_t> ended;   // codes; 0x10000 = complete
    std::deque<uint32_t> reports;  // the senders of the Reports to be read
    ReceiverCore core{*this, *this, 1};
    protocol::Time now = 0;
    static constexpr uint32_t kSender = protocol::IPv4(10, 0, 0, 1);

    bool Send(uint32_t, const uint8_t* d, size_t n) override {
        sent.emplace_back(d, d + n);
        return true;
    }
    int ReadReport(uint8_t* buffer, size_t, uint32_t* from) override {
        if (reports.empty()) return -1;
        protocol::EncodeReport(buffer);
        *from = reports.front();
        reports.pop_front();
        return int(protocol::report::kSize);
    }
    bool ResolveTarget(uint32_t, const std::u16string& p, std::u16string* root) override {
        *root = p;
        return true;
    }
    bool AllowRoot(std::u16string*) override { return true; }
    uint32_t CheckDisk(const std::u16string&, uint64_t) override { return 1; }
    bool Write(const BlockWrite& w, uint32_t) override {
        paths.push_back(*w.path);
        return true;
    }
    bool deferDrain = false;  // the writer answers when the test says
    uint32_t drainToken = 0;
    void Drain(uint32_t token) override {
        drainToken = token;
        if (!deferDrain) core.OnWriteResult(now, {WriteResult::Drained, 0, 0, token});
    }
    void Ended(uint32_t code, intptr_t lParam, bool) override { ended.push_back(lParam == 1 ? 0x10000 : code); }

    void Feed(const Bytes& d, uint32_t from = kSender) {
        now += Ms(1);
        core.OnDatagram(now, {from, 27001}, d.data(), d.size());
    }
    template <class P>
    static Bytes Packet(size_t (*encode)(const P&, uint8_t*), const std::type_identity_t<P>& fields) {
        Bytes d(protocol::kMaxDatagram);
        d.resize(encode(fields, d.data()));
        return d;
    }
    static Bytes Task(uint32_t blocks, uint32_t files, const char16_t* root = u"/t") {
        return Packet(protocol::EncodeTask, {blocks, files, kAllBitsMode, protocol::WideNameField(root)});
    }
    // A Data block whose file's last block holds 10 bytes; file n is named \fn unless named otherwise.
    static Bytes Data(uint32_t file, uint32_t block, uint32_t last, std::u16string name = u"",
                      protocol::PacketType type = protocol::kDataBlock) {
        if (name.empty()) name = u"\\f" + std::u16string(1, char16_t(u'0' + file));
        Bytes d(protocol::kMaxBlockPacket);
        protocol::WriteBlockHeader(d.data(), type);
        protocol::WriteBlockFile(d.data(), last, 10, protocol::WideNameField(name));
        protocol::WriteBlockPosition(d.data(), file, block);
        d.resize(protocol::kBlockHeadSize + protocol::BlockDataLength(block, last, 10));
        return d;
    }
    uint32_t Answered() const {
        for (auto& d : sent)
            if (d[2] == protocol::kAnswer) return protocol::GetU32(&d[protocol::answer::kMissing]);
        return UINT32_MAX;
    }
    size_t Count(uint8_t type, uint8_t byte3 = 0xFF) const {
        size_t n = 0;
        for (auto& d : sent) n += d[2] == type && (byte3 == 0xFF || d[3] == byte3);
        return n;
    }
};

TEST(WireNames, OnlyWhatLeavesTheRootOrMeansSomethingElseIsRefused) {
    const bool w = platform::kWindowsNames;
    const struct { const char16_t* name; bool taken; } cases[] = {
        {u"\\a\\12:30 notes.txt", !w}, {u"\\...", !w},  {u"\\a\\.. ", !w},  {u"\\a\\b.txt", true},
        {u"\\..", false},               {u"\\a\\..\\..\\b", false}, {u"a\\b", false}, {u"\\\\server\\x", false},
        {u"\\C:\\x", !w},
    };
    for (const auto& c : cases) {
        std::u16string relative;
        EXPECT_EQ(WireNameToRelative(c.name, false, &relative), c.taken) << platform::Utf16ToUtf8(c.name);
    }
}

TEST(ReceiverCore, GapsOfTheStreamBecomeMissingBlocks) {
    // (file, block, last) seen in order, then the Finish: the Answer counts
    // what was never seen (a file never seen counts once).
    const struct { std::vector<std::array<uint32_t, 3>> seen; uint32_t files, answered; } cases[] = {
        {{{1, 0, 3}, {1, 1, 3}, {1, 2, 3}, {1, 3, 3}}, 1, 0},
        {{{1, 5, 9}}, 1, 9},                          // the first blocks lost
        {{{1, 0, 3}, {1, 2, 3}, {2, 0, 5}}, 2, 2 + 5},  // one inside, the tail of file 1, file 2's rest
        {{{1, 0, 0}, {3, 0, 0}}, 4, 2},               // files 2 and 4 never seen
        {{{2, 1, 1}, {1, 0, 1}, {1, 1, 1}}, 2, 1},    // reordered: file 1 came late, whole
        {{}, 3, 3},
        {{}, 400000000, 400000000},  // a hostile Task: counted, not kept block by block
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.Feed(Rig::Task(std::max(c.files, 100u), c.files));
        for (auto [f, b, last] : c.seen) rig.Feed(Rig::Data(f, b, last));
        rig.Feed(Rig::Packet(protocol::EncodeFinish, {}));
        EXPECT_EQ(rig.Answered(), c.answered) << "case with " << c.seen.size() << " blocks, " << c.files << " files";
        EXPECT_LE(rig.core.missing().RangeCount(), 2 * c.seen.size() + 2) << "ranges, not blocks";
    }
}

TEST(ReceiverCore, ARefusedFileIsReportedOnceAndTheTaskEndsIncomplete) {
    // A name too long for the target, and two names that meet on one path
    // once '?' is removed: each refused once, and no completion.
    Rig rig;
    const std::u16string longName = u"\\" + std::u16string(300, u'n');
    rig.Feed(Rig::Task(10, 3));
    for (uint32_t b = 0; b < 3; ++b) rig.Feed(Rig::Data(1, b, 2, longName));
    rig.Feed(Rig::Data(2, 0, 0, u"\\what?"));
    rig.Feed(Rig::Data(3, 0, 0, u"\\what"));
    rig.Feed(Rig::Packet(protocol::EncodeFinish, {}));
    rig.Feed(Rig::Packet(protocol::EncodePoll, {0}));
    EXPECT_EQ(rig.ended,
              (std::vector<uint32_t>{TIVLO_CODE_PATH_TOO_LONG, TIVLO_CODE_CREATE_FAILED, TIVLO_CODE_INCOMPLETE}));
    EXPECT_EQ(rig.paths, (std::vector<std::u16string>{u"/what"}));
    EXPECT_EQ(rig.Count(protocol::kFinish, 0), 0u) << "it never says it has everything";
}

TEST(ReceiverCore, ANewTaskOfTheSenderEndsTheUnfinishedOne) {
    // The same Task after a block of it, Data or another's Repair, is a
    // new task: the old one's shapes must not outlive it.
    for (auto type : {protocol::kRepairBlock, protocol::kDataBlock}) {
        Rig rig;
        rig.Feed(Rig::Task(10, 2));
        rig.Feed(Rig::Task(10, 2));  // a repeat: nothing ends
        rig.Feed(Rig::Data(1, 0, 3, u"", type));
        EXPECT_TRUE(rig.ended.empty());
        const uint32_t generation = rig.core.generation();
        rig.Feed(Rig::Task(10, 2));
        EXPECT_EQ(rig.ended, (std::vector<uint32_t>{TIVLO_CODE_INCOMPLETE}));
        EXPECT_EQ(rig.core.generation(), generation + 1);
        // Only file 2 comes: file 1 counts as never seen, not as one block.
        rig.Feed(Rig::Data(2, 0, 0));
        rig.Feed(Rig::Packet(protocol::EncodeFinish, {}));
        rig.Feed(Rig::Data(1, 0, 3, u"", protocol::kRepairBlock));
        EXPECT_EQ(rig.core.missing().Count(), 3u);
    }
    Rig rig;
    rig.Feed(Rig::Task(10, 2));
    rig.Feed(Rig::Data(1, 0, 3));
    rig.Feed(Rig::Task(10, 2));
    // Another sender's Task, and any stranger's datagram, change nothing.
    rig.Feed(Rig::Task(7, 1, u"/elsewhere"), protocol::IPv4(10, 0, 0, 9));
    rig.Feed(Rig::Packet(protocol::EncodeHold, {1}), protocol::IPv4(10, 0, 0, 9));
    EXPECT_EQ(rig.core.targetRoot(), u"/t");
    EXPECT_FALSE(rig.core.Ended());
}

TEST(ReceiverCore, OnlyTheSendersHeartbeatKeepsTheTaskAlive) {
    Rig rig;
    rig.Feed(Rig::Task(10, 1));
    for (int check = 0; check < 5; ++check) {
        rig.reports.push_back(protocol::IPv4(10, 0, 0, 9));  // another sender
        rig.now += ReceiverCore::kReportRead;
        rig.core.OnTick(rig.now);
    }
    EXPECT_EQ(rig.ended, (std::vector<uint32_t>{TIVLO_CODE_SENDER_LOST}));
    EXPECT_EQ(rig.Count(protocol::kFinish, 1), 1u);
    // The host was told: another sender may now start a task, which ends
    // nothing a second time; until its Task, its blocks are not taken.
    const uint32_t other = protocol::IPv4(10, 0, 0, 9);
    rig.Feed(Rig::Data(1, 0, 0), other);
    rig.Feed(Rig::Task(1, 1, u"/elsewhere"), other);
    rig.Feed(Rig::Data(1, 0, 0), other);
    rig.Feed(Rig::Data(1, 0, 0));  // the lost sender's, late
    EXPECT_EQ(rig.ended, (std::vector<uint32_t>{TIVLO_CODE_SENDER_LOST}));
    EXPECT_EQ(rig.core.targetRoot(), u"/elsewhere");
    EXPECT_EQ(rig.paths, (std::vector<std::u16string>{u"/f1"}));
    // The lost sender's own Task, once its host was told, is another task.
    Rig again;
    again.Feed(Rig::Task(10, 1));
    for (int check = 0; check < 5; ++check) again.core.OnTick(again.now += ReceiverCore::kReportRead);
    const uint32_t generation = again.core.generation();
    again.Feed(Rig::Task(10, 1));
    EXPECT_EQ(again.core.generation(), generation + 1);
}

TEST(ReceiverCore, TheFinishTellsWhatTheLastWritesMadeOfTheTask) {
    Rig rig;
    rig.deferDrain = true;
    rig.Feed(Rig::Task(1, 1));
    rig.Feed(Rig::Data(1, 0, 0));
    rig.Feed(Rig::Packet(protocol::EncodePoll, {1}));  // closes the pass: nothing missing
    EXPECT_EQ(rig.Count(protocol::kFinish), 0u) << "a Finish before the disk answered";
    rig.core.OnWriteResult(rig.now, {WriteResult::WriteFailed, rig.core.generation(), 1, 0});
    rig.core.OnWriteResult(rig.now, {WriteResult::Drained, 0, 0, rig.drainToken});
    EXPECT_EQ(rig.Count(protocol::kFinish, 0), 0u);
    EXPECT_GE(rig.Count(protocol::kFinish, 1), 1u);
    EXPECT_EQ(std::ranges::count(rig.ended, 0x10000u), 0);
}

TEST(ReceiverCore, AMasterWithEverythingSaysSoAgainWhenAsked) {
    Rig rig;
    rig.Feed(Rig::Task(1, 1));
    rig.Feed(Rig::Data(1, 0, 0));
    rig.Feed(Rig::Packet(protocol::EncodePoll, {1}));  // closes the pass: complete
    EXPECT_EQ(rig.ended, (std::vector<uint32_t>{0x10000}));
    rig.Feed(Rig::Packet(protocol::EncodePoll, {0}));  // its Finish was lost
    EXPECT_EQ(rig.Count(protocol::kFinish, 0), 2u);
    // The sender starts another transfer, alike or not, which this receiver
    // did not take: asked about it, it never says it has everything.
    rig.Feed(Rig::Task(1, 1));
    rig.Feed(Rig::Packet(protocol::EncodePoll, {1}));
    rig.Feed(Rig::Packet(protocol::EncodePoll, {0}));
    EXPECT_EQ(rig.Count(protocol::kFinish, 0), 2u);
    EXPECT_EQ(rig.Count(protocol::kFinish, 1), 2u);
    EXPECT_EQ(rig.Count(protocol::kAck), 0u);
    EXPECT_EQ(rig.ended, (std::vector<uint32_t>{0x10000})) << "its host heard of one task";
}

}  // namespace
}  // namespace tivlo::receiver
