// The report listener: notices a sender whose heartbeat has stopped.
#include <cstring>

#include "platform/clock.h"
#include "platform/log.h"
#include "receiver/client_engine.h"

namespace tivlo::receiver {

namespace {

constexpr uint32_t kLostPauseMs = 100;
constexpr uint32_t kNotifyPauseMs = 10;

bool HoldsReport(const uint8_t* buffer) {
    return buffer[0] == protocol::kMagic0 && buffer[1] == protocol::kMagic1 &&
           buffer[protocol::off::kType] == protocol::kReport;
}

}  // namespace

void ClientEngine::ReportLoop() {
    static const char* const kTryLines[] = {"\n Tget  Report1 @@@\n", "\n Tget  Report2 @@@\n",
                                            "\n Tget  Report3 @@@\n"};
    uint8_t buffer[protocol::kReportSize];
    for (;;) {
        if (EndedOrStopped()) return;

        std::memset(buffer, 0, sizeof buffer);
        platform::Endpoint from;
        // A failed read (nothing waiting) leaves the buffer as it was.
        (void)reportSocket.ReceiveFrom(buffer, sizeof buffer, &from);
        if (!HoldsReport(buffer)) {
            bool found = false;
            for (const char* line : kTryLines) {
                platform::Log(line);
                // A tear-down cuts the wait short and ends the listener: there
                // is nobody left to tell.
                if (closing.Wait(kReportReadMs)) return;
                (void)reportSocket.ReceiveFrom(buffer, sizeof buffer, &from);
                if (HoldsReport(buffer)) {
                    found = true;
                    break;
                }
            }
            if (!found) {
                SendFinish(1);
                platform::SleepMs(kLostPauseMs);
                NotifyHost(kCodeSenderLost);
                platform::SleepMs(kNotifyPauseMs);
                return;
            }
        }
        platform::Log("\n Tget  Report @@@\n");
        if (closing.Wait(kReportReadMs)) return;
        if (Ended()) return;
    }
}

}  // namespace tivlo::receiver
