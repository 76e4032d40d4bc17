// Fuzz target: a name field as the receiver reads it (both encodings, both
// kinds of receiver system) and turns it into a path below its target root.
// Input: one byte of flags, a u32 count, then the field's bytes (the field
// is always 520 bytes inside a datagram; missing bytes are zero).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "quiet_receiver.h"
#include "platform/path_rules.h"
#include "protocol/packets.h"
#include "receiver/receiver_core.h"

using namespace tivlo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const uint8_t flags = data[0];
    uint32_t count;
    std::memcpy(&count, data + 1, 4);
    // The field alone on the heap, exactly 520 bytes.
    std::vector<uint8_t> field(protocol::kNameFieldBytes, 0);
    std::memcpy(field.data(), data + 5, std::min(size - 5, field.size()));

    QuietReceiver io;
    receiver::ReceiverCore core(io, io, (flags >> 1) & 1);
    uint8_t os[protocol::serveros::kSize];
    core.OnDatagram(0, {1, 1}, os, protocol::EncodeServerOs({uint8_t(flags & 1)}, os));

    const std::u16string converted = core.ConvertName(field.data(), count);
    CHECK(converted.find(u'\0') == std::u16string::npos);
    std::u16string name;
    if (!core.ReadWireName(field.data(), count, &name)) return 0;
    CHECK(name == converted);
    for (bool strip : {false, true}) {
        std::u16string relative;
        if (!receiver::WireNameToRelative(name, strip, &relative)) continue;
        // Below the root and nowhere else: a separator first, no NUL, no
        // drive or stream (Windows), no component that climbs.
        CHECK(!relative.empty() && relative[0] == platform::kPathSeparator);
        CHECK(relative.find(u'\0') == std::u16string::npos);
        CHECK(!platform::kWindowsNames || relative.find(u':') == std::u16string::npos);
        int depth = 0;
        size_t start = 0;
        while (start <= relative.size()) {
            size_t end = relative.find(platform::kPathSeparator, start);
            if (end == std::u16string::npos) end = relative.size();
            const std::u16string part = relative.substr(start, end - start);
            CHECK(!platform::IsReservedName(part));  // e.g. a lone surrogate on POSIX
            if (part == u"..") --depth;
            else if (!part.empty() && part != u".") ++depth;
            CHECK(depth >= 0);
            start = end + 1;
        }
        if (strip)
            for (char16_t c : relative) CHECK(c != u'*' && c != u'?' && c != u'<' && c != u'>');
    }
    return 0;
}
