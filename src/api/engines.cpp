#include "api/engines.h"

namespace tivlo::api {

namespace {
sender::ServerEngine g_server;
receiver::ClientEngine g_client;
}  // namespace

sender::ServerEngine& TheServer() { return g_server; }
receiver::ClientEngine& TheClient() { return g_client; }

}  // namespace tivlo::api
