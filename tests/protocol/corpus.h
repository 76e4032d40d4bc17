// One valid datagram per packet type, the seeds of the decoder fuzzers.
// The checked-in files under corpus/ are written by protocol_corpus from
// these, and test_protocol checks that they still match.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/packets.h"

namespace tivlo::protocol::testing {

struct SeedDatagram {
    std::string file;  // file name under corpus/
    std::vector<uint8_t> bytes;
};

std::vector<SeedDatagram> SeedDatagrams();

// Whether the decoder of packet type `type` takes d (whatever d's own type).
bool DecoderAccepts(uint8_t type, Datagram d);

}  // namespace tivlo::protocol::testing
