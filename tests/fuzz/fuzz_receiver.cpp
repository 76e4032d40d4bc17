// Fuzz target: the receiver core fed a sequence of datagrams from one sender.
// Its target root goes through the receiver's real policy (an allowed
// directory in a temporary folder) and its directories and files are made
// there as the writer makes them, so that a name or root that escapes shows
// on disk.
//
// Input: records of [u16 length][u8 flags][length bytes]. Flags: bit 0 on a
// Task: its target path becomes a folder inside the allowed directory (bit 3:
// that directory followed by the Task's own name, which may try to climb
// out); bit 1: the writer has no free buffer; bits 4-7 pick the folder.
//
// After every datagram: the missing blocks never outnumber the task's, their
// ranges stay few, and every write is a block of its file's shape below the
// accepted root. After the sequence: nothing exists outside the allowed
// directory, and inside it only below a root the receiver accepted.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "quiet_receiver.h"
#include "protocol/blocks.h"
#include "protocol/packets.h"
#include "receiver/client_engine.h"
#include "receiver/receiver_core.h"

namespace {

using namespace tivlo;
namespace fs = std::filesystem;

constexpr size_t kMaxSteps = 96;

bool Below(const std::u16string& path, const std::u16string& dir) {
    return path == dir ||
           (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == u'/');
}

struct Harness : QuietReceiver {
    fs::path base;
    std::u16string allowed;
    std::u16string root;  // the last root accepted
    std::vector<std::u16string> roots;
    bool full = false;

    bool ResolveTarget(uint32_t, const std::u16string& path, std::u16string* out) override {
        *out = path;
        return true;
    }
    bool AllowRoot(std::u16string* r) override {
        std::u16string resolved;
        if (!receiver::NormalizeRoot(*r, &resolved) || !receiver::NormalizedRootWithin(resolved, {allowed}))
            return false;
        *r = root = resolved;
        if (std::find(roots.begin(), roots.end(), root) == roots.end()) roots.push_back(root);
        return true;
    }
    uint32_t CheckDisk(const std::u16string&, uint64_t needed) override { return needed <= (uint64_t(64) << 20); }
    void OpenRoot(uint32_t, const std::u16string& r) override { CHECK(r == root); }
    // The writer's own rules below the root are the platform's (tested
    // there); here every name must already stay below it on its face. Makes
    // the directories of root + relative (for a file: those above it).
    void MakeBelowRoot(const std::u16string& relative, bool file) const {
        const std::u16string path = root + relative;
        CHECK(Below(fs::path(path).lexically_normal().u16string(), root));
        std::error_code ec;
        fs::create_directories(fs::path(file ? path.substr(0, path.rfind(u'/') + 1) : path), ec);
    }
    void MakeDirectories(uint32_t, const std::u16string& relative) override { MakeBelowRoot(relative, false); }
    bool Write(const receiver::BlockWrite& w, uint32_t) override {
        if (full) return false;
        CHECK(*w.path != u"/" && w.block <= w.lastIndex && w.lastLength <= protocol::kBlockSize);
        CHECK(w.length == protocol::BlockDataLength(w.block, w.lastIndex, w.lastLength));
        MakeBelowRoot(*w.path, true);
        return true;
    }
};
Harness* H = nullptr;

void Cleanup() {
    std::error_code ec;
    if (H != nullptr) fs::remove_all(H->base, ec);
}

void CheckFiles() {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(H->base, fs::directory_options::none, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const std::u16string path = it->path().lexically_normal().u16string();
        CHECK(Below(path, H->allowed));
        if (path == H->allowed) continue;
        bool placed = false;
        // Inside a root, or a directory on the way to one.
        for (const auto& root : H->roots)
            if (Below(path, root) || (it->is_directory() && Below(root, path))) placed = true;
        CHECK(placed);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/tivlo-fuzz-receiver-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    H = new Harness;
    H->base = pattern;
    fs::create_directories(H->base / "allowed");
    H->allowed = (H->base / "allowed").u16string();
    std::atexit(Cleanup);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    receiver::ReceiverCore core(*H, *H, 1);
    H->roots.clear();
    H->root.clear();
    const platform::Endpoint from{protocol::IPv4(127, 0, 0, 1), 27001};
    size_t pos = 0;
    for (size_t step = 0; step < kMaxSteps && pos + 3 <= size; ++step) {
        size_t length = size_t(data[pos]) | size_t(data[pos + 1]) << 8;
        const uint8_t flags = data[pos + 2];
        pos += 3;
        length = std::min({length, size - pos, protocol::kMaxDatagram});
        // Exactly the datagram's bytes, on the heap.
        std::vector<uint8_t> d(data + pos, data + pos + length);
        pos += length;
        if ((flags & 1) && length >= protocol::task::kSize && d[2] == protocol::kTask) {
            std::u16string path = H->allowed + u"/r" + char16_t(u'0' + (flags >> 4) % 10);
            if (flags & 8)
                path = H->allowed + protocol::ReadWideName(&d[protocol::task::kName],
                                                           protocol::GetU32(&d[protocol::task::kNameCount]));
            const protocol::NameField field = protocol::WideNameField(path);
            std::memcpy(&d[protocol::task::kName], field.bytes.data(), protocol::kNameFieldBytes);
            protocol::PutU32(&d[protocol::task::kNameCount], field.count);
            protocol::PutU32(&d[protocol::task::kMode], receiver::kAllBitsMode);
        }
        H->full = (flags & 2) != 0;
        const bool end = core.OnDatagram(protocol::Ms(step), from, d.data(), d.size());
        CHECK(core.missing().RangeCount() <= 4 * step + 4);
        if (end) break;
    }
    CheckFiles();
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(H->base / "allowed", ec)) fs::remove_all(entry.path(), ec);
    return 0;
}
