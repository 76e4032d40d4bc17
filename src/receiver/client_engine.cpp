// Placeholder until the receiver engine lands.
#include "receiver/client_engine.h"

namespace tivlo::receiver {

ClientEngine::ClientEngine() = default;
ClientEngine::~ClientEngine() = default;

int ClientEngine::Initialize(uint32_t) { return 0; }
void ClientEngine::StartThreads() {}
void ClientEngine::CloseAll() {}

}  // namespace tivlo::receiver
