// Writes the seed corpora of the sequence targets (receiver and sender) and
// of the name target:  fuzz_seeds tests/fuzz/corpus
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "protocol/blocks.h"
#include "protocol/packets.h"

namespace {

using namespace tivlo::protocol;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kPathMode = 0xFFFFFFFFu;

Bytes MakeTask(uint32_t total, uint32_t files, const std::u16string& path) {
    Bytes b(task::kSize);
    tivlo::protocol::Task t;
    t.totalBlocks = total;
    t.fileCount = files;
    t.mode = kPathMode;
    t.path = WideNameField(path);
    EncodeTask(t, b.data());
    return b;
}
Bytes MakeServerOs(uint8_t wide) {
    Bytes b(serveros::kSize);
    EncodeServerOs({wide}, b.data());
    return b;
}
Bytes MakePoll(uint32_t turn) {
    Bytes b(poll::kSize);
    EncodePoll({turn}, b.data());
    return b;
}
Bytes MakeHold(uint8_t complete, uint8_t unicast) {
    Bytes b(hold::kSize);
    EncodeHold({complete, unicast}, b.data());
    return b;
}
Bytes SenderFinish() {
    Bytes b(finish::kSize);
    EncodeFinish({0}, b.data());
    return b;
}
Bytes MakeEmptyDirs(const std::vector<std::u16string>& names) {
    std::vector<NameField> fields;
    for (const auto& n : names) fields.push_back(WideNameField(n));
    Bytes b(kMaxDatagram);
    b.resize(EncodeEmptyDirectories(fields, b.data()));
    return b;
}
Bytes MakeBlock(PacketType type, uint32_t file, uint32_t block, uint64_t length, const std::u16string& name) {
    Bytes b(kMaxBlockPacket, 0);
    WriteBlockHeader(b.data(), type);
    WriteBlockFile(b.data(), *LastBlockIndex(length), LastBlockLength(length), WideNameField(name));
    WriteBlockPosition(b.data(), file, block);
    const uint32_t n = BlockDataLength(block, *LastBlockIndex(length), LastBlockLength(length));
    for (uint32_t i = 0; i < n; ++i) b[kBlockHeadSize + i] = uint8_t(block * 7 + i);
    b.resize(kBlockHeadSize + n);
    return b;
}

struct Sequence {
    Bytes bytes;
    // Receiver records: [u16 length][u8 flags][datagram].
    void Add(const Bytes& d, uint8_t flags = 0) {
        bytes.push_back(uint8_t(d.size()));
        bytes.push_back(uint8_t(d.size() >> 8));
        bytes.push_back(flags);
        bytes.insert(bytes.end(), d.begin(), d.end());
    }
    // Sender records: [x][y][u8 length][answer].
    // The sender's records: the address, the milliseconds before, the answer.
    void AddAnswer(uint8_t x, uint8_t y, const Bytes& d, uint8_t ms = 100) {
        bytes.push_back(x);
        bytes.push_back(y);
        bytes.push_back(ms);
        bytes.push_back(uint8_t(d.size()));
        bytes.insert(bytes.end(), d.begin(), d.end());
    }
};

void Save(const fs::path& path, const Bytes& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Bytes MakeAnswer(uint8_t type, std::initializer_list<uint32_t> words, size_t size) {
    Bytes b(size, 0);
    b[0] = kMagic0;
    b[1] = kMagic1;
    b[2] = type;
    size_t at = 3;
    for (uint32_t w : words) {
        if (size - at >= 4) {
            PutU32(b.data() + at, w);
            at += 4;
        } else if (at < size) {
            b[at++] = uint8_t(w);
        }
    }
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds DIRECTORY\n");
        return 2;
    }
    const fs::path dir = argv[1];
    const uint64_t first = 3 * 4254 + 100, second = 10;
    const std::u16string a = u"\\dir\\first.bin", b = u"\\second.txt";

    // A task with losses, its pass and its repair.
    {
        Sequence s;
        s.Add(MakeServerOs(1));
        s.Add(MakeTask(5, 2, u"x"), 1);
        s.Add(MakeEmptyDirs({u"\\empty", u"\\dir\\deeper\\hollow"}));
        s.Add(MakeBlock(kDataBlock, 1, 0, first, a));
        s.Add(MakeBlock(kDataBlock, 1, 1, first, a));
        s.Add(MakeBlock(kDataBlock, 1, 3, first, a));
        s.Add(SenderFinish());
        s.Add(MakePoll(1));
        s.Add(MakeBlock(kRepairBlock, 1, 2, first, a));
        s.Add(MakeBlock(kRepairBlock, 2, 0, second, b));
        s.Add(MakePoll(0));
        Save(dir / "receiver" / "repaired-task.seq", s.bytes);
    }
    // A stream faster than the disk: the pool fills, the rest is repaired.
    {
        const uint64_t big = 11 * 4254 + 5;
        Sequence s;
        s.Add(MakeTask(12, 1, u"x"), 1 | 0x30);
        for (uint32_t k = 0; k <= 11; ++k) s.Add(MakeBlock(kDataBlock, 1, k, big, u"\\big.bin"), 2);
        s.Add(SenderFinish());
        s.Add(MakePoll(1));
        for (uint32_t k = 8; k <= 11; ++k) s.Add(MakeBlock(kRepairBlock, 1, k, big, u"\\big.bin"));
        s.Add(MakeHold(1, 0));
        Save(dir / "receiver" / "pool-full.seq", s.bytes);
    }
    // Names that try to leave the root, and a root that climbs.
    {
        Sequence s;
        s.Add(MakeTask(3, 2, u"x"), 1 | 0x50);
        s.Add(MakeEmptyDirs({u"\\ok", u"\\..\\..\\escape"}));
        Save(dir / "receiver" / "climbing-directory.seq", s.bytes);
        Sequence t;
        t.Add(MakeTask(3, 2, u"x"), 1);
        t.Add(MakeBlock(kDataBlock, 1, 0, 5, u"\\..\\outside.bin"));
        t.Add(MakeBlock(kDataBlock, 2, 0, 5, u"\\sub\\..\\..\\outside.bin"));
        Save(dir / "receiver" / "climbing-file.seq", t.bytes);
        Sequence u;
        u.Add(MakeTask(3, 1, u"/../../etc"), 1 | 8);
        u.Add(MakeBlock(kDataBlock, 1, 0, 5, u"\\passwd"));
        Save(dir / "receiver" / "climbing-root.seq", u.bytes);
        Sequence v;
        v.Add(MakeTask(3, 1, u"/etc"));
        v.Add(MakeBlock(kDataBlock, 1, 0, 5, u"\\passwd"));
        Save(dir / "receiver" / "foreign-root.seq", v.bytes);
    }
    // Impossible blocks: file 0, beyond the count, index past the last,
    // shapes that change, a Task of 2^32-1 blocks.
    {
        Sequence s;
        s.Add(MakeTask(20, 2, u"x"), 1);
        s.Add(MakeBlock(kDataBlock, 0, 0, 5, u"\\zero"));
        s.Add(MakeBlock(kDataBlock, 3, 0, 5, u"\\three"));
        Bytes past = MakeBlock(kDataBlock, 1, 0, 5, u"\\one");
        PutU32(past.data() + block::kIndex, 9);
        s.Add(past);
        s.Add(MakeBlock(kDataBlock, 1, 2, 3 * 4254, u"\\one"));
        s.Add(MakeBlock(kDataBlock, 1, 14, 15 * 4254, u"\\one"));
        s.Add(MakeBlock(kDataBlock, 2, 17, 18 * 4254, u"\\two"));
        s.Add(SenderFinish());
        s.Add(MakeTask(0xFFFFFFFFu, 1, u"x"), 1);
        Save(dir / "receiver" / "impossible-blocks.seq", s.bytes);
    }

    // Sender: joins, answers, a master's Acks and Finish, a stranger's Ack,
    // Finish(1) storms.
    {
        Sequence s;
        s.AddAnswer(0, 2, MakeAnswer(kJoin, {1}, join::kSize));
        s.AddAnswer(0, 3, MakeAnswer(kJoin, {0}, join::kSize));
        // The transfer starts at the ninth record and its stream ends soon.
        for (int i = 0; i < 7; ++i) s.AddAnswer(0, 9, MakeAnswer(kAnswer, {0}, answer::kSize), 200);
        s.AddAnswer(0, 2, MakeAnswer(kAnswer, {3}, answer::kSize));
        s.AddAnswer(0, 3, MakeAnswer(kAnswer, {0}, answer::kSize));
        s.AddAnswer(0, 2, MakeAnswer(kAck, {1, 2}, ack::kSize));
        s.AddAnswer(0, 3, MakeAnswer(kAck, {1, 1}, ack::kSize));
        s.AddAnswer(0, 2, MakeAnswer(kAck, {4, 0}, ack::kSize));
        s.AddAnswer(0, 2, MakeAnswer(kFinish, {0}, finish::kSize));
        Save(dir / "sender" / "repair.seq", s.bytes);
        Sequence t;
        for (int i = 0; i < 40; ++i) t.AddAnswer(uint8_t(i / 200), uint8_t(2 + i % 200), MakeAnswer(kJoin, {1}, join::kSize));
        for (int i = 0; i < 10; ++i) t.AddAnswer(0, uint8_t(2 + i), MakeAnswer(kFinish, {1}, finish::kSize));
        t.AddAnswer(9, 9, MakeAnswer(kAck, {0xFFFFFFFFu, 0xFFFFFFFFu}, ack::kSize));
        t.AddAnswer(0, 2, MakeAnswer(kAck, {2, 0x7FFFFFFFu}, ack::kSize));
        Save(dir / "sender" / "storm.seq", t.bytes);
    }

    // Names: flags (bit 0 wide, bit 1 NT receiver), the count, the field.
    {
        auto name = [&](const char* file, uint8_t flags, const std::u16string& text) {
            NameField f = WideNameField(text);
            Bytes b{flags};
            for (int i = 0; i < 4; ++i) b.push_back(uint8_t(f.count >> (8 * i)));
            b.insert(b.end(), f.bytes.begin(), f.bytes.end());
            Save(dir / "names" / file, b);
        };
        name("plain-wide", 3, u"\\dir\\file.txt");
        name("climbing-wide", 3, u"\\a\\..\\..\\b");
        name("reserved-wide", 3, u"\\a<b>?*/c");
        name("ansi-receiver", 1, u"\\caf\u00e9\\na\u00efve");
        Bytes narrow{0, 12, 0, 0, 0};
        const char* text = "\\x\\caf\xe9.txt";
        narrow.insert(narrow.end(), text, text + std::strlen(text) + 1);
        narrow.resize(5 + kNameFieldBytes, 0);
        Save(dir / "names" / "narrow", narrow);
    }
    return 0;
}
