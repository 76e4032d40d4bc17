// The system-independent part of TargetDir and TargetFile: names split into
// components, replacement names, and the writes that remember a failure so
// that Close never commits a half-written replacement.
#include <atomic>
#include <chrono>

#include "platform/log.h"
#include "platform/os_detail.h"
#include "platform/target_dir.h"

namespace tivlo::platform {

namespace detail {

bool SplitTargetName(const std::u16string& relative, std::vector<std::u16string>* parts) {
#if defined(_WIN32)
    // The system reads '/' as a separator too; a dotted or blank name is
    // what Win32 trims to "..", and ':' names a stream or a drive.
    const char16_t* separators = u"\\/";
    const bool windows = true;
#else
    const char16_t* separators = u"/";
    const bool windows = false;
#endif
    parts->clear();
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find_first_of(separators, start);
        if (end == std::u16string::npos) end = relative.size();
        std::u16string part = relative.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == u".") continue;
        const bool dotsAndBlanks = part.find_first_not_of(u". ") == std::u16string::npos;
        if (part == u".." || part.find(u'\0') != std::u16string::npos ||
            (windows && (dotsAndBlanks || part.find(u':') != std::u16string::npos))) {
            return false;
        }
        parts->push_back(std::move(part));
    }
    return true;
}

std::u16string ReplacementName() {
    static std::atomic<uint64_t> counter{0};
    uint64_t value = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                     (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    std::u16string name = u".tivlo-";
    for (int i = 0; i < 16; ++i, value >>= 4) name.push_back(u"0123456789abcdef"[value & 15]);
    return name + u".part";
}

void LogRefusedName(const std::u16string& relative, const char* why) {
    std::u16string reason;
    for (const char* c = why; *c != '\0'; ++c) reason.push_back(static_cast<char16_t>(*c));
    Log(u"\nTivlo-----" + relative + u": " + reason + u" below the target root, refused!\n");
}

}  // namespace detail

TargetDir::~TargetDir() { Close(); }

TargetFile::~TargetFile() { Discard(); }

bool TargetFile::Write(const void* data, size_t length) {
    const bool ok = file_.Write(data, length);
    failed_ = failed_ || !ok;
    return ok;
}

bool TargetFile::Seek(int64_t offset) { return file_.Seek(offset); }

bool TargetFile::Truncate(int64_t length) {
    const bool ok = file_.Truncate(length);
    failed_ = failed_ || !ok;
    return ok;
}

}  // namespace tivlo::platform
