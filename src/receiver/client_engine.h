// The receiver: one engine object that holds the sockets, threads, queues and
// maps of the receiving side.
#pragma once

#include <cstdint>

namespace tivlo::receiver {

class ClientEngine {
public:
    ClientEngine();
    virtual ~ClientEngine();

    uintptr_t hostWindow = 0;
    uint32_t groupAddress = 0;  // network order
    uint16_t dataPort = 0;      // host order

    // InitClient's initialisation; 1 when both sockets are ready.
    int Initialize(uint32_t interfaceAddress);
    // StartReceive: the receive thread, then the write thread.
    void StartThreads();
    // DeInitClient.
    void CloseAll();
};

}  // namespace tivlo::receiver
