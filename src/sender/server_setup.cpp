// Start-up of the sender: the three sockets and the probe for another sender
// on the group.
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/system.h"
#include "protocol/packets.h"
#include "sender/server_engine.h"
#include "tivlo/tivlo_codes.h"

namespace tivlo::sender {

namespace {

// Looks for another sender: any datagram with our magic on the data group
// within 100 ms. 1 = the group is free, 0 = another sender, -1 = the probe
// could not be set up (its log line is written).
int ProbeForSender(uint32_t group, uint16_t port, uint32_t iface) {
    platform::UdpSocket probe;
    if (!probe.Open()) {
        platform::Log("\nTivlo-----Create Find Server Socket Failed!\n");
        return -1;
    }
    const char* failure = nullptr;
    if (!probe.SetReuseAddress()) {
        failure = "\nTivlo-----Set Find socket Reuse address Failed!\n";
        // A socket bound to a unicast address receives no multicast here, so
        // the probe binds any address on the data port.
    } else if (!probe.Bind(0, port)) {
        failure = "\nTivlo-----Bind Find Socket with Host IP Failed!\n";
    } else if (!probe.SetMulticastInterface(iface)) {
        failure = "\nTivlo-----Can not MultiCast!\n";
    } else if (!probe.JoinGroup(group, iface)) {
        failure = "\nTivlo-----Add find socket address to Membership Failed\n";
    } else if (!probe.SetMulticastTtl(protocol::kMulticastTtl)) {
        failure = "\nTivlo-----Set Find Socket TTL Failed!\n";
    }
    if (failure != nullptr) {
        platform::Log(failure);
        probe.Close();
        return -1;
    }
    uint8_t head[3] = {};
    platform::Endpoint from;
    int got = probe.ReceiveFromTimeout(head, sizeof head, &from, 100);
    bool another = false;
    if (got >= 0) another = protocol::HasMagic(head, size_t(got));
    probe.LeaveGroup(group, iface);
    probe.Close();
    if (another) {
        platform::Log("\nTivlo----- Another server with same MultiAddress has Exist!\n");
        return 0;
    }
    return 1;
}

}  // namespace

int ServerEngine::SetUp(uint32_t iface) {
    // A host that calls InitServer twice without DeInitServer: end what the
    // first run left behind.
    DeInit();
    wideNames_ = platform::IsNtFamily() != 0 ? 1 : 0;
    invalidNameFlag = 0;
    groupEndpoint_ = {groupAddress, uint16_t(dataPort)};
    reportEndpoint_ = {protocol::kReportGroup, protocol::kReportPort};
    const uint16_t answerPort = uint16_t(dataPort + protocol::kAnswerPortOffset);

    auto fail = [this](const char* line) {
        platform::Log(line);
        CloseSockets();
        return 0;
    };

    // The socket library needs no start here.
    if (!sendSocket_.Open()) return fail("\nTivlo------Create Send Socket Failed!\n");
    if (!receiveSocket_.Open()) return fail("\nTivlo------Create Receive Socket Failed!\n");
    if (!sendSocket_.SetReuseAddress()) return fail("\nTivlo------Set Send Socket Resuse Address Failed!\n");
    if (!receiveSocket_.SetReuseAddress())
        return fail("\nTivlo------Set Receive Socket Resuse Address Failed!\n");
    // All receivers' answers arrive here; this socket joins no group.
    if (!receiveSocket_.Bind(iface, answerPort))
        return fail("\nTivlo------Bind Receive socket host Address Failed!\n");
    if (!sendSocket_.Bind(iface, 0)) return fail("\nTivlo-----Bind Send socket with host Address Failed!\n");
    if (!sendSocket_.SetMulticastInterface(iface)) return fail("\nTivlo-----Can not support MultiCast!\n");
    if (!sendSocket_.JoinGroup(groupAddress, iface)) return fail("\nTivlo-----Add send IP to Membership failed\n");
    if (!sendSocket_.SetMulticastTtl(protocol::kMulticastTtl))
        return fail("\nTivlo-----Set Send Socket TTL Failed!\n");

    const int probe = ProbeForSender(groupAddress, uint16_t(dataPort), iface);
    if (probe < 0) {
        CloseSockets();
        return 0;
    }
    if (probe == 0) {
        // The send and receive sockets stay open; DeInitServer closes them.
        if (auto host = Host()) host->Ended(TIVLO_CODE_ANOTHER_SENDER, 0, true);
        return 0;
    }

    if (!reportSocket_.Open()) return fail("\nTivlo------Create Send Report Socket Failed!\n");
    if (!reportSocket_.SetReuseAddress())
        return fail("\nTivlo------Set Send report Socket Resuse Address Failed!\n");
    if (!reportSocket_.Bind(iface, 0))
        return fail("\nTivlo-----Bind Send report socket with host Address Failed!\n");
    if (!reportSocket_.SetMulticastInterface(iface))
        return fail("\nTivlo-----Send Report Socket Can not support MultiCast!\n");
    if (!reportSocket_.JoinGroup(protocol::kReportGroup, iface))
        return fail("\nTivlo-----Add send report IP to Membership failed\n");
    if (!reportSocket_.SetMulticastTtl(protocol::kMulticastTtl))
        return fail("\nTivlo-----Set Send report Socket TTL Failed!\n");
    return 1;
}

}  // namespace tivlo::sender
