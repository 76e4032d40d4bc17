// Start-up and tear-down of the sender: the three sockets, the probe for
// another sender on the group, the answer thread and the Collect packets.
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/system.h"
#include "api/notify.h"
#include "protocol/packets.h"
#include "sender/server_engine.h"

namespace tivlo::sender {

namespace {

// Looks for another sender: any datagram with our magic on the data group
// within 100 ms. 1 = the group is free, 0 = another sender, -1 = the probe
// could not be set up (its log line is written).
int ProbeForSender(ServerEngine& e, uint32_t iface, uint32_t groupAny) {
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
    } else if (!probe.Bind(0, uint16_t(e.dataPort))) {
        failure = "\nTivlo-----Bind Find Socket with Host IP Failed!\n";
    } else if (!probe.SetMulticastInterface(iface)) {
        failure = "\nTivlo-----Can not MultiCast!\n";
    } else if (!probe.JoinGroup(e.groupAddress, groupAny)) {
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
    if (got >= 0) {
        e.lastSourceAddress = from;
        another = protocol::HasMagic(head, size_t(got));
    }
    probe.LeaveGroup(e.groupAddress, groupAny);
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
    // first run left behind before the fields are reset.
    DeInit();

    allReceiversWide = 1;
    wideNames = platform::IsNtFamily() != 0 ? 1 : 0;

    invalidNameFlag = 0;
    lastRequestFile = 0;
    lastRequestBlock = 0;
    finishedFlag = 0;
    unicastPhase = 0;
    receiverCount = 0;
    failedCount = 0;
    stopFlag = 0;
    pendingSeen = 0;
    masterIndex = 0;
    masterIndexSeen = 0;
    recordZeroRepeats = 0;
    answerShut = 0;
    awaitingFirstCompletion = 1;
    endEvent.Reset();
    stopEvent.Reset();
    {
        std::lock_guard<std::mutex> lock(repairLock);
        if (repairFileOpen != 0) repairFile.Close();
        repairFileOpen = 0;
        protocol::WriteBlockHeader(repairPacket.data(), protocol::kRepairBlock);
    }

    interfaceAddress = iface;
    localEndpoint = {iface, uint16_t(dataPort + protocol::kAnswerPortOffset)};
    groupEndpoint = {groupAddress, uint16_t(dataPort)};
    const uint32_t groupIface = iface;  // membership: the interface, or any

    auto fail = [this](const char* line) {
        platform::Log(line);
        CloseSockets();
        return 0;
    };

    // The socket library needs no start here.
    if (!sendSocket.Open()) return fail("\nTivlo------Create Send Socket Failed!\n");
    if (!receiveSocket.Open()) return fail("\nTivlo------Create Receive Socket Failed!\n");
    if (!sendSocket.SetReuseAddress())
        return fail("\nTivlo------Set Send Socket Resuse Address Failed!\n");
    if (!receiveSocket.SetReuseAddress())
        return fail("\nTivlo------Set Receive Socket Resuse Address Failed!\n");
    // All receivers' answers arrive here; this socket joins no group.
    if (!receiveSocket.Bind(localEndpoint.addr, localEndpoint.port))
        return fail("\nTivlo------Bind Receive socket host Address Failed!\n");
    localEndpoint.port = 0;
    if (!sendSocket.Bind(localEndpoint.addr, 0))
        return fail("\nTivlo-----Bind Send socket with host Address Failed!\n");
    if (!sendSocket.SetMulticastInterface(iface))
        return fail("\nTivlo-----Can not support MultiCast!\n");
    if (!sendSocket.JoinGroup(groupAddress, groupIface))
        return fail("\nTivlo-----Add send IP to Membership failed\n");
    if (!sendSocket.SetMulticastTtl(protocol::kMulticastTtl))
        return fail("\nTivlo-----Set Send Socket TTL Failed!\n");

    int probe = ProbeForSender(*this, iface, groupIface);
    if (probe < 0) {
        CloseSockets();
        return 0;
    }
    if (probe == 0) {
        // The send and receive sockets stay open; DeInitServer closes them.
        api::PostEnded(hostWindow, kCodeAnotherSender, 0);
        return 0;
    }

    if (!reportSocket.Open()) return fail("\nTivlo------Create Send Report Socket Failed!\n");
    if (!reportSocket.SetReuseAddress())
        return fail("\nTivlo------Set Send report Socket Resuse Address Failed!\n");
    if (!reportSocket.Bind(localEndpoint.addr, 0))
        return fail("\nTivlo-----Bind Send report socket with host Address Failed!\n");
    if (!reportSocket.SetMulticastInterface(iface))
        return fail("\nTivlo-----Send Report Socket Can not support MultiCast!\n");
    reportEndpoint = {protocol::kReportGroup, protocol::kReportPort};
    if (!reportSocket.JoinGroup(protocol::kReportGroup, groupIface))
        return fail("\nTivlo-----Add send report IP to Membership failed\n");
    if (!reportSocket.SetMulticastTtl(protocol::kMulticastTtl))
        return fail("\nTivlo-----Set Send report Socket TTL Failed!\n");
    return 1;
}

int ServerEngine::StartAckThread() {
    if (!ackThread.Start([this] { AnswerLoop(); }, platform::ThreadPriority::AboveNormal)) {
        platform::Log("\nTivlo------Create the Receive Thread Failed!\n");
        CloseSockets();
        return 0;
    }
    return 1;
}

int ServerEngine::CollectReceivers() {
    uint8_t packet[protocol::kCollectSize];
    size_t length = protocol::EncodeCollect(packet);
    int sent = 0;
    for (int i = 0; i < 3; ++i) {
        if (sendSocket.SendTo(packet, length, groupEndpoint)) ++sent;
        platform::SleepMs(100);
    }
    if (sent == 0) {
        platform::Log("\nTivlo-----Can not Collect Client!\n");
        CloseSockets();
        return 0;
    }
    return 1;
}

void ServerEngine::CloseSockets() {
    sendSocket.Close();
    receiveSocket.Close();
    reportSocket.Close();
    std::lock_guard<std::mutex> lock(repairLock);
    if (repairFileOpen != 0) {
        repairFile.Close();
        repairFileOpen = 0;
    }
}

void ServerEngine::DeInit() {
    stopFlag = 1;
    stopEvent.Set();
    endEvent.Set();
    answerShut = 1;
    receiveSocket.Close();  // wakes the answer thread
    // The stream thread starts the watchdog, so it is joined first.
    sendThread.Join();
    watchdogThread.Join();
    reportThread.Join();
    ackThread.Join();
    CloseSockets();
}

}  // namespace tivlo::sender
