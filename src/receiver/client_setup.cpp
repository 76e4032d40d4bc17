// Initialisation, thread starts and tear-down of the receiver.
#include "platform/clock.h"
#include "platform/log.h"
#include "receiver/client_engine.h"

namespace tivlo::receiver {

namespace {

// 8 MiB rather than 1 MiB: at a set send rate of 1 Gbit/s a 1 MiB buffer
// holds 8 ms of the stream, less than a busy machine may keep the receive
// thread from running; every datagram dropped there is a block to repair.
// Without the privilege to force it, the system's limit applies.
constexpr int kDataReceiveBuffer = 8 * 1048576;
constexpr int kReportReceiveBuffer = 512;

}  // namespace

int ClientEngine::Initialize(uint32_t interfaceAddress) {
    // A second initialisation without DeInitClient tears the first down.
    CloseAll();
    // A thread that ran CloseAll itself could not join itself: join it now,
    // before any flag it may still read is cleared.
    for (platform::Thread* t : {&receiveThread, &writeThread, &gapThread, &reportThread}) t->Join();

    SetTargetRoot(std::u16string());
    AllocateBlockPool();
    receiveDone.Reset();
    writeDone.Reset();
    closing.Reset();

    // The write thread's counters.
    writeBlockCount = 0;
    writeByteCount = 0;
    currentFileIndex = 0;
    lastBufferedBlock = 0;
    writeFailed = 0;
    openedThisTask.clear();

    nameWide.store(1);
    ntFlag = IsNtPlatform();

    turnFlag = 0;
    {
        platform::LockGuard guard(inPassLock);
        inPass = 0;
        gapThreadActive = 0;
    }
    SetEnded(0);
    {
        platform::LockGuard guard(stopLock);
        stop = 0;
    }
    wantedFile = 1;
    wantedBlock = 0;
    fileCount = 0;
    totalBlocks = 0;
    taskAccepted = 0;
    touchedThisTask.clear();
    fileShapes.clear();
    claimedBlocks = 0;
    threadStartPending = true;
    gapDone.Reset();

    // File 0: nothing of the task seen yet, so a loss of the very first
    // blocks shows as a gap too.
    streamPos = StreamPosition{};
    interfaceAddr = interfaceAddress;
    joinedGroup = groupAddress;
    replyAddress.store(0);

    // The data socket. It binds any address: a socket bound to a unicast
    // address receives no multicast here; the interface address names the
    // interface for the membership and for sending.
    if (!dataSocket.Open()) {
        platform::Log("\n@@-----Create socket failed\n");
        return 0;
    }
    closed.store(0);
    if (!dataSocket.SetReuseAddress()) {
        platform::Log("\n@@-----setsockeopt failed\n");
        dataSocket.Close();
        closed.store(1);
        return 0;
    }
    if (!dataSocket.Bind(0, dataPort)) {
        platform::Log("\n@@-----Bind socket with sockaddr_in failed\n");
        CloseAll();
        return 0;
    }
    (void)dataSocket.SetReceiveBuffer(kDataReceiveBuffer);
    if (!dataSocket.SetMulticastInterface(interfaceAddress)) {
        platform::Log("\n@@-----setsockeopt failed\n");
        CloseAll();
        return 0;
    }
    if (!dataSocket.JoinGroup(groupAddress, interfaceAddress)) {
        platform::Log("\n@@-----setsockopt add membership failed\n");
        CloseAll();
        return 0;
    }
    if (!dataSocket.SetMulticastTtl(protocol::kMulticastTtl)) {
        platform::Log("\n@@-----setsockopt TTL failed\n");
        CloseAll();
        return 0;
    }

    // The report socket: non-blocking, read once per pass of the listener.
    if (!reportSocket.Open()) {
        platform::Log("\nTivlo------Create Receive Report Socket Failed!\n");
        CloseAll();
        return 0;
    }
    if (!reportSocket.SetReuseAddress()) {
        platform::Log("\nTivlo------Set Receive report Socket Resuse Address Failed!\n");
        CloseAll();
        return 0;
    }
    if (!reportSocket.Bind(0, protocol::kReportPort)) {
        platform::Log("\nTivlo-----Bind Receive report socket with host Address Failed!\n");
        CloseAll();
        return 0;
    }
    if (!reportSocket.SetMulticastInterface(interfaceAddress)) {
        platform::Log("\nTivlo-----Receive Report Socket Can not support MultiCast!\n");
        CloseAll();
        return 0;
    }
    if (!reportSocket.JoinGroup(protocol::kReportGroup, interfaceAddress)) {
        platform::Log("\nTivlo-----Add Receive report IP to Membership failed\n");
        CloseAll();
        return 0;
    }
    if (!reportSocket.SetMulticastTtl(protocol::kMulticastTtl)) {
        platform::Log("\nTivlo-----Set Receive report Socket TTL Failed!\n");
        CloseAll();
        return 0;
    }
    if (!reportSocket.SetReceiveBuffer(kReportReceiveBuffer)) {
        platform::Log("\nTivlo-----Set Receive report Socket Buffer Failed!\n");
        CloseAll();
        return 0;
    }
    if (!reportSocket.SetNonBlocking()) {
        platform::Log("\nTivlo-----Set Receive report WSAAsyncSelect Failed!\n");
        CloseAll();
        return 0;
    }
    return 1;
}

void ClientEngine::StartThreads() {
    // Only after a successful initialisation, and once per initialisation.
    if (closed.load() != 0 || receiveThread.Running() || writeThread.Running()) return;
    receiveThread.Start([this] { ReceiveLoop(); }, platform::ThreadPriority::AboveNormal);
    writeThread.Start([this] { WriteLoop(); });
}

void ClientEngine::StartGapThread() {
    // An earlier gap thread of this receive thread has ended (its task's pass
    // closed): collect it before the next one starts.
    gapThread.Join();
    gapDone.Reset();
    {
        platform::LockGuard guard(inPassLock);
        gapThreadActive = 1;
    }
    if (!gapThread.Start([this] { GapLoop(); })) {
        platform::LockGuard guard(inPassLock);
        gapThreadActive = 0;
        gapDone.Set();
    }
}

void ClientEngine::StartReportListener() {
    reportThread.Join();
    reportThread.Start([this] { ReportLoop(); }, platform::ThreadPriority::AboveNormal);
}

void ClientEngine::CloseAll() {
    if (closed.exchange(1) != 0) return;
    platform::Log("-------------CloseAll");
    // Every thread ends at its next look at the flag; the listener and the
    // gap thread are also woken from their sleeps.
    SetStop();
    closing.Set();

    platform::Log("-------------Before WaitResult");
    // A thread that runs this itself cannot signal its own end meanwhile.
    if (receiveThread.IsCurrent()) {
        writeDone.Wait(kCloseWaitMs);
    } else if (writeThread.IsCurrent()) {
        receiveDone.Wait(kCloseWaitMs);
    } else {
        platform::WaitBoth(receiveDone, writeDone, kCloseWaitMs);
    }
    platform::Log("-------------After WaitResult");

    if (!dataSocket.LeaveGroup(joinedGroup, interfaceAddr)) {
        platform::Log("\n@@-----setsockopt err in closeall\n");
    }
    // Closing wakes a receive in progress.
    dataSocket.Close();
    platform::SleepMs(10);
    reportSocket.Close();

    // The receive thread first: it is the one that starts the other two.
    // The thread running this (a failed Finish) is joined by the next
    // initialisation or by the destructor.
    for (platform::Thread* t : {&receiveThread, &writeThread, &gapThread, &reportThread}) {
        if (!t->IsCurrent()) t->Join();
    }

    if (fileOpen) {
        currentFile.Close();
        fileOpen = 0;
    }
    DestoryAll();
}

}  // namespace tivlo::receiver
