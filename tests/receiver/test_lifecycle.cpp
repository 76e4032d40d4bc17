// The report listener, and the receiver's initialisation and tear-down.
#include "receiver_harness.h"

namespace tivlo::testing {
namespace {

using ReportTest = ReceiverFixture;

TEST_F(ReportTest, ASilentSenderIsGivenUpAfterFourReads) {
    SKIP_IF_REPORT_GROUP_BUSY();
    Start();
    AcceptTask(1, 1);
    auto finish = sender.AnswerOfType(protocol::kFinish, 4000);
    ASSERT_TRUE(finish);
    EXPECT_EQ((*finish)[3], 1);
    ASSERT_TRUE(host.WaitFor(1040, receiver::kCodeSenderLost, 0));
    EXPECT_EQ(log.Count("\n Tget  Report1 @@@\n"), 1);
    EXPECT_EQ(log.Count("\n Tget  Report2 @@@\n"), 1);
    EXPECT_EQ(log.Count("\n Tget  Report3 @@@\n"), 1);
    EXPECT_EQ(log.Count("\n Tget  Report @@@\n"), 0);
    // Giving up on the sender ends neither the receive nor the write thread.
    EXPECT_FALSE(ReceiveThreadEnded());
    sender.Send(Collect());
    EXPECT_TRUE(sender.AnswerOfType(protocol::kJoin));
}

TEST_F(ReportTest, ReportsEveryFiveSecondsKeepTheSender) {
    Start();
    AcceptTask(1, 1);
    const auto period = std::chrono::milliseconds(int(5000 * kScale));
    const auto end = std::chrono::steady_clock::now() + 10 * period;  // 50 protocol seconds
    while (std::chrono::steady_clock::now() < end) {
        sender.SendReport();
        std::this_thread::sleep_for(period);
    }
    EXPECT_FALSE(sender.AnswerOfType(protocol::kFinish, 50));
    EXPECT_EQ(host.Count(1040, receiver::kCodeSenderLost), 0);
    EXPECT_GE(log.Count("\n Tget  Report @@@\n"), 5);
    EXPECT_EQ(log.Count("\n Tget  Report3 @@@\n"), 0);
}

TEST_F(ReportTest, OtherPacketsOnTheReportGroupAreNoReports) {
    SKIP_IF_REPORT_GROUP_BUSY();
    Start();
    AcceptTask(1, 1);
    Bytes task = TaskPacket(1, 1, receiver::kAllBitsMode, rootText);
    platform::UdpSocket out;
    ASSERT_TRUE(out.Open() && out.Bind(kLoopback, 0) && out.SetMulticastInterface(kLoopback));
    for (int i = 0; i < 12 && host.Count(1040, receiver::kCodeSenderLost) == 0; ++i) {
        out.SendTo(task.data(), task.size(), {protocol::kReportGroup, protocol::kReportPort});
        std::this_thread::sleep_for(std::chrono::milliseconds(int(2000 * kScale)));
    }
    EXPECT_TRUE(host.WaitFor(1040, receiver::kCodeSenderLost, 0));
}

TEST_F(ReportTest, TheEndedFlagEndsTheListenerAfterItsSleep) {
    Start();
    AcceptTask(1, 1);
    sender.SendReport();
    sender.Send(DataBlock(1, 0, u"\\f.bin", Content(10, 1)));
    EXPECT_EQ(FinishAndAnswer(), 0u);  // complete: the ended flag is set
    ASSERT_TRUE(host.WaitFor(1040, 0, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(int(20000 * kScale)));
    // Had it read on, it would have given the silent sender up by now.
    EXPECT_EQ(host.Count(1040, receiver::kCodeSenderLost), 0);
    EXPECT_EQ(log.Count("\n Tget  Report3 @@@\n"), 0);
}

using LifecycleTest = ReceiverFixture;

TEST_F(LifecycleTest, InitialiseCloseAndInitialiseAgainAtOnce) {
    Start();
    engine->CloseAll();
    EXPECT_EQ(log.Count("-------------CloseAll"), 1);
    EXPECT_EQ(log.Count("-------------Before WaitResult"), 1);
    EXPECT_EQ(log.Count("-------------After WaitResult"), 1);
    EXPECT_EQ(log.Count("-------------DestoryAll"), 1);
    engine->CloseAll();  // a second one does nothing
    EXPECT_EQ(log.Count("-------------CloseAll"), 1);

    ASSERT_EQ(engine->Initialize(kLoopback), 1);
    engine->StartThreads();
    sender.Send(Collect());
    EXPECT_TRUE(sender.AnswerOfType(protocol::kJoin));
}

TEST_F(LifecycleTest, CloseWhileATaskRunsStopsEveryThread) {
    Start();
    AcceptTask(100, 1);
    const Bytes content = Content(99 * protocol::kBlockSize, 3);
    for (uint32_t b = 0; b < 20; ++b) sender.Send(DataBlock(1, b, u"\\f.bin", content));
    auto started = std::chrono::steady_clock::now();
    engine->CloseAll();
    // Every thread has been joined well within the 5000 ms wait.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(int(5000 * kScale)));
    EXPECT_FALSE(engine->receiveThread.Running());
    EXPECT_FALSE(engine->writeThread.Running());
    EXPECT_FALSE(engine->gapThread.Running());
    EXPECT_FALSE(engine->reportThread.Running());
    EXPECT_EQ(engine->QueuedCount(), 0u);
    ASSERT_EQ(engine->Initialize(kLoopback), 1);
}

TEST_F(LifecycleTest, AFinishThatCannotBeSentClosesFromTheListenerSafely) {
    SKIP_IF_REPORT_GROUP_BUSY();
    Start();
    AcceptTask(1, 1);
    // The data socket goes away under the threads: the listener's Finish
    // fails and it runs the tear-down on its own thread.
    engine->dataSocket.Close();
    ASSERT_TRUE(host.WaitFor(1040, receiver::kCodeSenderLost, 0, 4000));
    EXPECT_EQ(log.Count("\nTivlo-----Client send finish Failed!\n"), 1);
    ASSERT_TRUE(Eventually([&] { return log.Count("-------------DestoryAll") >= 2; }));
    EXPECT_FALSE(engine->receiveThread.Running());
    EXPECT_FALSE(engine->writeThread.Running());

    // DeInitClient now does nothing, and the receiver can start again.
    engine->CloseAll();
    ASSERT_EQ(engine->Initialize(kLoopback), 1);
    engine->StartThreads();
    sender.Send(Collect());
    EXPECT_TRUE(sender.AnswerOfType(protocol::kJoin));
}

TEST_F(LifecycleTest, ATearDownWithTheSocketAlreadyGoneEndsEveryThread) {
    Start();
    engine->dataSocket.Close();
    // With its socket gone the receive thread sees no datagram at all; the
    // tear-down that follows must still end every thread.
    engine->CloseAll();
    EXPECT_FALSE(engine->receiveThread.Running());
    EXPECT_FALSE(engine->writeThread.Running());
}

TEST(LifecycleBare, NothingToCloseBeforeTheFirstInitialisation) {
    LogRecorder log;
    receiver::ClientEngine engine;
    engine.StartThreads();  // refused: not initialised
    EXPECT_FALSE(engine.receiveThread.Running());
    engine.CloseAll();
    EXPECT_EQ(log.Count("-------------CloseAll"), 0);
}

}  // namespace
}  // namespace tivlo::testing
