// The sender engine: construction, the settings of the exports, the error
// report and small helpers shared by the threads.
#include "sender/server_engine.h"

#include "platform/log.h"
#include "platform/system.h"

namespace tivlo::sender {

ServerEngine::ServerEngine() = default;

// The library may be unloaded after DeInitServer only; a host that skips it
// still must not leave threads running on a destroyed engine.
ServerEngine::~ServerEngine() { DeInit(); }

int ServerEngine::StoreTargetPath(uint32_t mode, const std::u16string& path) {
    // The Task's name field holds 259 UTF-16 characters and the terminator.
    if (path.size() > protocol::kMaxWideNameUnits - 1) {
        platform::Log("\nTivlo-----Target path too long, former path kept!\n");
        return 0;
    }
    targetMode = mode;
    targetPath = path;
    return 1;
}

int ServerEngine::GetErrInfo(uint32_t* out) const {
    int32_t count = receiverCount.load();
    uint32_t n = 0;
    for (int32_t i = 0; i < count && i < kRosterSize; ++i) {
        uint32_t code = roster[i].errorCode.load();
        if (code == 0) continue;
        out[1 + 2 * n] = roster[i].address.addr;
        out[2 + 2 * n] = code;
        ++n;
    }
    out[0] = n;
    return int(n);
}

bool ServerEngine::FinishedOrStopped() {
    std::lock_guard<std::mutex> lock(stateLock);
    return finishedFlag.load() != 0 || stopFlag.load() != 0;
}

bool ServerEngine::Stopped() {
    std::lock_guard<std::mutex> lock(stateLock);
    return stopFlag.load() != 0;
}

void ServerEngine::MarkUnfinished(uint32_t code) {
    int32_t n = receiverCount.load();
    for (int32_t i = 0; i < n; ++i) {
        ReceiverRecord& r = roster[i];
        if (r.done.load() == 0 && r.errorCode.load() == 0) r.errorCode = code;
    }
}

protocol::NameField ServerEngine::MakeNameField(const std::u16string& name) const {
    if (wideNames != 0) return protocol::WideNameField(name);
    return protocol::NarrowNameField(platform::Utf16ToAnsi(name));
}

}  // namespace tivlo::sender
