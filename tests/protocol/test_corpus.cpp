// The checked-in seed corpus stays what the encoders produce today, and
// holds one datagram of every type that its decoder takes.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>

#include "protocol/corpus.h"
#include "protocol/heap_datagram.h"
#include "protocol/packets.h"

namespace tivlo::protocol {
namespace {

using testing::HeapDatagram;

bool Decodes(Datagram d) {
    switch (d[off::kType]) {
        case kCollect: return IsCollect(d);
        case kJoin: return DecodeJoin(d).has_value();
        case kPoll: return DecodePoll(d).has_value();
        case kHold: return DecodeHold(d).has_value();
        case kAck: return DecodeAck(d).has_value();
        case kTask: return DecodeTask(d).has_value();
        case kRepairBlock:
        case kDataBlock: return DecodeBlock(d).has_value();
        case kFinish: return DecodeFinish(d).has_value();
        case kStop: return IsStop(d);
        case kEmptyDirectories: return DecodeEmptyDirectories(d).has_value();
        case kAnswer: return DecodeAnswer(d).has_value();
        case kServerOs: return DecodeServerOs(d).has_value();
        case kReport: return IsReport(d);
    }
    return false;
}

TEST(SeedCorpus, FilesMatchTheEncodersAndDecode) {
    std::set<int> types;
    for (const auto& seed : testing::SeedDatagrams()) {
        std::ifstream in(std::string(TIVLO_PROTOCOL_CORPUS_DIR) + "/" + seed.file, std::ios::binary);
        ASSERT_TRUE(in) << seed.file << " missing; regenerate with protocol_corpus";
        std::vector<uint8_t> onDisk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(onDisk, seed.bytes) << seed.file << " is stale; regenerate with protocol_corpus";

        HeapDatagram received(seed.bytes);
        ASSERT_GE(seed.bytes.size(), 3u);
        EXPECT_TRUE(Decodes(received.span())) << seed.file;
        types.insert(seed.bytes[off::kType]);
    }
    EXPECT_EQ(types.size(), 14u);
    EXPECT_EQ(*types.begin(), 1);
    EXPECT_EQ(*types.rbegin(), 14);
}

}  // namespace
}  // namespace tivlo::protocol
