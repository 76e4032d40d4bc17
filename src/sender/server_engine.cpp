// Placeholder until the sender engine lands.
#include "sender/server_engine.h"

namespace tivlo::sender {

ServerEngine::ServerEngine() = default;
ServerEngine::~ServerEngine() = default;

int ServerEngine::SetUp(uint32_t) { return 0; }
int ServerEngine::StartAckThread() { return 0; }
int ServerEngine::CollectReceivers() { return 0; }
void ServerEngine::BeginTransfer() {}
void ServerEngine::AbortTransfer() {}
void ServerEngine::CloseSockets() {}
int ServerEngine::StoreTargetPath(uint32_t mode, const std::u16string& path) {
    targetMode = mode;
    targetPath = path;
    return 1;
}
int ServerEngine::SetSelectFiles(const std::vector<std::u16string>&) { return 1; }
void ServerEngine::Stop() {}
void ServerEngine::DeInit() {}

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

}  // namespace tivlo::sender
