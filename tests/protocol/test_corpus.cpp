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

TEST(SeedCorpus, FilesMatchTheEncodersAndDecode) {
    std::set<int> types;
    for (const auto& seed : testing::SeedDatagrams()) {
        std::ifstream in(std::string(TIVLO_PROTOCOL_CORPUS_DIR) + "/" + seed.file, std::ios::binary);
        ASSERT_TRUE(in) << seed.file << " missing; regenerate with protocol_corpus";
        std::vector<uint8_t> onDisk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(onDisk, seed.bytes) << seed.file << " is stale; regenerate with protocol_corpus";

        HeapDatagram received(seed.bytes);
        ASSERT_GE(seed.bytes.size(), 3u);
        EXPECT_TRUE(testing::DecoderAccepts(seed.bytes[header::kType], received.span())) << seed.file;
        types.insert(seed.bytes[header::kType]);
    }
    EXPECT_EQ(types.size(), 14u);
    EXPECT_EQ(*types.begin(), 1);
    EXPECT_EQ(*types.rbegin(), 14);
}

}  // namespace
}  // namespace tivlo::protocol
