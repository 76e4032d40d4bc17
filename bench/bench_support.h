// What the benchmarks share: a plain multicast listener on loopback, and a
// Task that starts a receiver engine's transfer.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "protocol/packets.h"
#include "receiver/client_engine.h"

namespace tivlo::bench {

// A UDP socket bound to port on any address and joined to group on
// interface; exits the benchmark when it cannot bind.
inline int OpenGroupListener(uint16_t port, uint32_t group, uint32_t iface, int receiveBuffer) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // The forced size needs root; the plain one is the fallback.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof receiveBuffer) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        std::perror("bind");
        std::exit(1);
    }
    ip_mreq mreq{};
    mreq.imr_multiaddr.s_addr = group;
    mreq.imr_interface.s_addr = iface;
    setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq);
    return fd;
}

// Sends a Task of one file and blockCount blocks into root, and waits until
// the engine has taken it.
inline void AnnounceTask(platform::UdpSocket& out, const platform::Endpoint& group, receiver::ClientEngine& engine,
                         uint32_t blockCount, const std::u16string& root) {
    std::vector<uint8_t> packet(protocol::kMaxDatagram, 0);
    protocol::Task task;
    task.totalBlocks = blockCount;
    task.fileCount = 1;
    task.mode = receiver::kAllBitsMode;
    task.path = protocol::WideNameField(root);
    out.SendTo(packet.data(), protocol::EncodeTask(task, packet.data()), group);
    while (engine.TargetRoot() != root) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace tivlo::bench
