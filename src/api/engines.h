// The library's single sender and receiver, constructed at load.
#pragma once

#include "receiver/client_engine.h"
#include "sender/server_engine.h"

namespace tivlo::api {

sender::ServerEngine& TheServer();
receiver::ClientEngine& TheClient();

}  // namespace tivlo::api
