// The start of a transfer (Server OS, Task, the host's 1039, the empty
// directories, the stream and heartbeat threads), the heartbeat itself, and
// the abort.
#include "api/notify.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "protocol/packets.h"
#include "sender/server_engine.h"

namespace tivlo::sender {

bool ServerEngine::SendThreeTimes(const uint8_t* packet, size_t length) {
    int sent = 0;
    for (int i = 0; i < 3; ++i) {
        if (sendSocket.SendTo(packet, length, groupEndpoint)) ++sent;
        platform::SleepMs(10);
    }
    return sent > 0;
}

bool ServerEngine::JoinEndedTransferThreads() {
    // The stream thread starts the watchdog: once it has ended, the
    // watchdog's thread object is no longer touched by it.
    if (sendActive.load() || reportActive.load() || watchdogActive.load()) return false;
    sendThread.Join();
    reportThread.Join();
    watchdogThread.Join();
    return true;
}

void ServerEngine::BeginTransfer() {
    if (!JoinEndedTransferThreads()) {
        platform::Log("\nTivlo-----A transfer is still running, StartSend ignored!\n");
        return;
    }
    endEvent.Reset();
    // A new transfer never serves blocks of a file read for an older one.
    DropRepairState();

    // The Task carries the total as u32: a bigger task is refused before
    // anything goes out, not wrapped.
    uint64_t blocks = CountTotalBlocks();
    if (blocks > UINT32_MAX) {
        platform::Log("\nTivlo-----Too many blocks in the task, transfer refused!\n");
        return;
    }

    uint8_t os[protocol::kServerOsSize];
    size_t osLength = protocol::EncodeServerOs({uint8_t(wideNames)}, os);
    if (!SendThreeTimes(os, osLength)) {
        platform::Log("\nTivlo-----Send Server OS Packet Failed!\n");
        CloseSockets();
        return;
    }

    fileCount = uint32_t(transferList.size());
    totalBlocks = uint32_t(blocks);

    protocol::Task task;
    task.totalBlocks = totalBlocks;
    task.fileCount = fileCount;
    task.mode = targetMode;
    task.path = MakeNameField(targetPath);
    uint8_t taskPacket[protocol::kTaskSize];
    size_t taskLength = protocol::EncodeTask(task, taskPacket);
    if (!SendThreeTimes(taskPacket, taskLength)) {
        platform::Log("\nTivlo-----Send  Task Packet Failed!\n");
        CloseSockets();
        return;
    }

    api::PostStarted(hostWindow, uint32_t(receiverCount.load()), totalBlocks);
    SendEmptyDirectories();
    StartSendThread();
    StartReportThread();
}

void ServerEngine::StartSendThread() {
    sendActive = true;
    bool started = sendThread.Start([this] {
        SendLoop();
        sendActive = false;
    });
    if (!started) {
        sendActive = false;
        platform::Log("\nTivlo------Create the Send Thread Failed!\n");
    }
}

void ServerEngine::StartReportThread() {
    reportActive = true;
    bool started = reportThread.Start([this] {
        ReportLoop();
        reportActive = false;
    });
    if (!started) {
        reportActive = false;
        platform::Log("\nTivlo------Create the Send Report Thread Failed!\n");
    }
}

void ServerEngine::ReportLoop() {
    uint8_t packet[protocol::kReportSize];
    size_t length = protocol::EncodeReport(packet);
    while (!FinishedOrStopped()) {
        if (!reportSocket.SendTo(packet, length, reportEndpoint)) {
            platform::Log("\nTivlo-----Send Report Data Failed!\n");
            CloseSockets();
            api::PostEnded(hostWindow, kCodeSendFailed, 0);
            return;
        }
        endEvent.Wait(5000);
    }
}

void ServerEngine::AbortTransfer() {
    uint8_t stop[protocol::kStopSize];
    size_t length = protocol::EncodeStop(stop);
    if (!SendThreeTimes(stop, length)) {
        platform::Log("\nTivlo-----Send Stop packet Failed!\n");
        CloseSockets();
    }
    // The answer thread handles nothing more: closing its socket wakes it,
    // and taking answerLock waits for a datagram it is handling right now.
    // On the answer thread itself the current handling simply finishes and
    // the loop ends.
    answerShut = 1;
    if (!OnAnswerThread()) {
        receiveSocket.Close();
        std::lock_guard<std::mutex> wait(answerLock);
    }
    platform::SleepMs(10);
    api::PostEnded(hostWindow, 0, 0);
    platform::SleepMs(10);
}

void ServerEngine::Stop() {
    stopFlag = 1;
    stopEvent.Set();
    endEvent.Set();
    // No Data block and no Poll may follow the Stop packets: the stream
    // thread and the watchdog end before they go out.
    sendThread.Join();
    watchdogThread.Join();
    AbortTransfer();
}

}  // namespace tivlo::sender
