// UDP sockets on the loopback interface only: every multicast names
// 127.0.0.1 as its interface, so nothing leaves the machine.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"

namespace tivlo::platform {
namespace {

using namespace std::chrono_literals;
using RealClock = std::chrono::steady_clock;

const uint32_t kLoopback = ParseIPv4("127.0.0.1");
const uint32_t kGroup = ParseIPv4("235.9.2.9");
const uint32_t kOtherGroup = ParseIPv4("235.9.2.77");

// A receiver as the engines build it: INADDR_ANY on the port, membership on
// the loopback interface.
void OpenGroupReceiver(UdpSocket& s, uint32_t group, uint16_t port) {
    ASSERT_TRUE(s.Open());
    ASSERT_TRUE(s.SetReuseAddress());
    ASSERT_TRUE(s.Bind(0, port));
    ASSERT_TRUE(s.SetReceiveBuffer(1 << 20));
    ASSERT_TRUE(s.JoinGroup(group, kLoopback));
}

void OpenLoopbackSender(UdpSocket& s) {
    ASSERT_TRUE(s.Open());
    ASSERT_TRUE(s.Bind(kLoopback, 0));
    ASSERT_TRUE(s.SetMulticastInterface(kLoopback));
    ASSERT_TRUE(s.SetMulticastTtl(50));
}

bool Send(UdpSocket& s, const std::string& text, uint32_t addr, uint16_t port) {
    return s.SendTo(text.data(), text.size(), Endpoint{addr, port});
}

std::string Receive(UdpSocket& s, uint32_t timeoutMs = 2000, Endpoint* from = nullptr) {
    char buffer[2048];
    int n = s.ReceiveFromTimeout(buffer, sizeof buffer, from, timeoutMs);
    if (n == UdpSocket::kTimedOut) {
        return "<timeout>";
    }
    if (n < 0) {
        return "<error>";
    }
    return std::string(buffer, static_cast<size_t>(n));
}

TEST(IPv4Text, ParseAndFormat) {
    EXPECT_EQ(ParseIPv4("235.9.2.9"), inet_addr("235.9.2.9"));
    EXPECT_EQ(ParseIPv4("127.0.0.1"), htonl(0x7F000001));
    EXPECT_EQ(ParseIPv4("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(ParseIPv4("1.2.3"), 0u);
    EXPECT_EQ(ParseIPv4("256.1.1.1"), 0u);
    EXPECT_EQ(ParseIPv4("host"), 0u);
    EXPECT_EQ(ParseIPv4(""), 0u);
    EXPECT_EQ(ParseIPv4(nullptr), 0u);
    char text[16];
    FormatIPv4(ParseIPv4("234.9.2.10"), text);
    EXPECT_STREQ(text, "234.9.2.10");
    FormatIPv4(0xFFFFFFFFu, text);
    EXPECT_STREQ(text, "255.255.255.255");
}

TEST(UdpSocket, MulticastRoundTripOnLoopback) {
    const uint16_t port = 39101;
    UdpSocket receiver, sender;
    OpenGroupReceiver(receiver, kGroup, port);
    OpenLoopbackSender(sender);
    EXPECT_EQ(receiver.LocalPort(), port);
    uint16_t senderPort = sender.LocalPort();
    EXPECT_NE(senderPort, 0);

    ASSERT_TRUE(Send(sender, "block 1", kGroup, port));
    Endpoint from;
    EXPECT_EQ(Receive(receiver, 2000, &from), "block 1");
    EXPECT_EQ(from.addr, kLoopback);
    EXPECT_EQ(from.port, senderPort);

    // And back by unicast to where it came from.
    ASSERT_TRUE(receiver.SendTo("join", 4, from));
    EXPECT_EQ(Receive(sender), "join");

    // After leaving, group traffic no longer arrives.
    ASSERT_TRUE(receiver.LeaveGroup(kGroup, kLoopback));
    ASSERT_TRUE(Send(sender, "late", kGroup, port));
    EXPECT_EQ(Receive(receiver, 100), "<timeout>");
}

TEST(UdpSocket, LargestDatagramAndEmptyDatagram) {
    const uint16_t port = 39102;
    UdpSocket receiver, sender;
    OpenGroupReceiver(receiver, kGroup, port);
    OpenLoopbackSender(sender);
    std::vector<uint8_t> big(20967);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    ASSERT_TRUE(sender.SendTo(big.data(), big.size(), Endpoint{kGroup, port}));
    std::vector<uint8_t> in(32768);
    ASSERT_EQ(receiver.ReceiveFromTimeout(in.data(), in.size(), nullptr, 2000), 20967);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), in.begin()));

    ASSERT_TRUE(sender.SendTo(big.data(), 0, Endpoint{kGroup, port}));
    EXPECT_EQ(receiver.ReceiveFromTimeout(in.data(), in.size(), nullptr, 2000), 0);

    // Too long for UDP at all: nothing sent, and said so.
    std::vector<uint8_t> tooBig(70000);
    EXPECT_FALSE(sender.SendTo(tooBig.data(), tooBig.size(), Endpoint{kGroup, port}));
}

TEST(UdpSocket, LongerDatagramIsCutToTheBuffer) {
    const uint16_t port = 39103;
    UdpSocket receiver, sender;
    OpenGroupReceiver(receiver, kGroup, port);
    OpenLoopbackSender(sender);
    ASSERT_TRUE(Send(sender, "0123456789", kGroup, port));
    ASSERT_TRUE(Send(sender, "next", kGroup, port));
    char small[4] = {};
    EXPECT_EQ(receiver.ReceiveFrom(small, sizeof small, nullptr), 4);
    EXPECT_EQ(std::string(small, 4), "0123");
    // The rest of the cut datagram is gone; the next one is whole.
    EXPECT_EQ(Receive(receiver), "next");
}

TEST(UdpSocket, OnlyJoinedGroupsArrive) {
    const uint16_t port = 39104;
    UdpSocket joined, notJoined, otherGroup, sender;
    OpenGroupReceiver(joined, kGroup, port);
    // Same port, no membership of its own.
    ASSERT_TRUE(notJoined.Open());
    ASSERT_TRUE(notJoined.SetReuseAddress());
    ASSERT_TRUE(notJoined.Bind(0, port));
    OpenGroupReceiver(otherGroup, kOtherGroup, port);
    OpenLoopbackSender(sender);

    ASSERT_TRUE(Send(sender, "to group", kGroup, port));
    EXPECT_EQ(Receive(joined), "to group");
    EXPECT_EQ(Receive(notJoined, 100), "<timeout>");
    EXPECT_EQ(Receive(otherGroup, 100), "<timeout>");

    ASSERT_TRUE(Send(sender, "to other", kOtherGroup, port));
    EXPECT_EQ(Receive(otherGroup), "to other");
    EXPECT_EQ(Receive(joined, 100), "<timeout>");
}

TEST(UdpSocket, CloseWakesABlockedReceive) {
    UdpSocket s;
    ASSERT_TRUE(s.Open());
    ASSERT_TRUE(s.Bind(kLoopback, 39105));
    std::atomic<int> result{100};
    std::atomic<int> blockedToo{100};
    std::thread reader([&] {
        char buffer[64];
        result = s.ReceiveFrom(buffer, sizeof buffer, nullptr);
    });
    std::thread timedReader([&] {
        char buffer[64];
        blockedToo = s.ReceiveFromTimeout(buffer, sizeof buffer, nullptr, 600000);
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(result.load(), 100);  // still waiting
    auto start = RealClock::now();
    s.Close();
    reader.join();
    timedReader.join();
    EXPECT_LT(RealClock::now() - start, 1s);
    EXPECT_EQ(result.load(), -1);
    EXPECT_EQ(blockedToo.load(), -1);
    EXPECT_FALSE(s.IsOpen());
    char buffer[8];
    EXPECT_EQ(s.ReceiveFrom(buffer, sizeof buffer, nullptr), -1);
    EXPECT_FALSE(s.SendTo("x", 1, Endpoint{kLoopback, 39105}));
    s.Close();  // twice is harmless
    // The object opens again after a close.
    ASSERT_TRUE(s.Open());
    ASSERT_TRUE(s.Bind(kLoopback, 39105));
    ASSERT_TRUE(s.SendTo("again", 5, Endpoint{kLoopback, 39105}));
    EXPECT_EQ(Receive(s), "again");
}

TEST(UdpSocket, ReceiveTimesOutOnTheScaledClock) {
    UdpSocket s;
    ASSERT_TRUE(s.Open());
    ASSERT_TRUE(s.Bind(kLoopback, 39106));
    SetTimeScale(0.05);
    auto start = RealClock::now();
    char buffer[16];
    int n = s.ReceiveFromTimeout(buffer, sizeof buffer, nullptr, 4000);  // 200 ms real
    auto real = RealClock::now() - start;
    SetTimeScale(1.0);
    EXPECT_EQ(n, UdpSocket::kTimedOut);
    EXPECT_GE(real, 190ms);
    EXPECT_LT(real, 2s);
}

TEST(UdpSocket, NonBlockingReceiveReturnsAtOnce) {
    UdpSocket s;
    ASSERT_TRUE(s.Open());
    ASSERT_TRUE(s.Bind(kLoopback, 39107));
    ASSERT_TRUE(s.SetNonBlocking());
    char buffer[16];
    auto start = RealClock::now();
    EXPECT_EQ(s.ReceiveFrom(buffer, sizeof buffer, nullptr), -1);
    EXPECT_LT(RealClock::now() - start, 100ms);
    ASSERT_TRUE(s.SendTo("ready", 5, Endpoint{kLoopback, 39107}));
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(s.ReceiveFrom(buffer, sizeof buffer, nullptr), 5);
    EXPECT_EQ(s.ReceiveFrom(buffer, sizeof buffer, nullptr), -1);
}

TEST(UdpSocket, InboundFilterDropsAsIfLost) {
    const uint16_t port = 39108;
    UdpSocket receiver, sender;
    OpenGroupReceiver(receiver, kGroup, port);
    OpenLoopbackSender(sender);
    std::atomic<int> seen{0};
    receiver.SetInboundFilter([&](const uint8_t* data, size_t length) {
        ++seen;
        return length > 0 && data[0] == 'X';
    });
    ASSERT_TRUE(Send(sender, "X-lost", kGroup, port));
    ASSERT_TRUE(Send(sender, "X-lost too", kGroup, port));
    ASSERT_TRUE(Send(sender, "kept", kGroup, port));
    EXPECT_EQ(Receive(receiver), "kept");
    EXPECT_EQ(seen.load(), 3);
    // Only dropped datagrams: the wait runs to its end.
    ASSERT_TRUE(Send(sender, "X-again", kGroup, port));
    EXPECT_EQ(Receive(receiver, 100), "<timeout>");
    receiver.SetInboundFilter(nullptr);
    ASSERT_TRUE(Send(sender, "X-through", kGroup, port));
    EXPECT_EQ(Receive(receiver), "X-through");
}

TEST(UdpSocket, TwoSocketsShareAPortWithReuse) {
    const uint16_t port = 39109;
    UdpSocket a, b, sender;
    OpenGroupReceiver(a, kGroup, port);
    OpenGroupReceiver(b, kGroup, port);
    OpenLoopbackSender(sender);
    ASSERT_TRUE(Send(sender, "both", kGroup, port));
    EXPECT_EQ(Receive(a), "both");
    EXPECT_EQ(Receive(b), "both");
    // Without reuse the port is taken.
    UdpSocket c;
    ASSERT_TRUE(c.Open());
    EXPECT_FALSE(c.Bind(0, port));
}

TEST(UdpSocket, OperationsOnAClosedSocketFail) {
    UdpSocket s;
    EXPECT_FALSE(s.IsOpen());
    EXPECT_FALSE(s.SetReuseAddress());
    EXPECT_FALSE(s.Bind(kLoopback, 39110));
    EXPECT_FALSE(s.JoinGroup(kGroup, kLoopback));
    EXPECT_EQ(s.LocalPort(), 0);
    ASSERT_TRUE(s.Open());
    EXPECT_FALSE(s.Open());  // already open
    EXPECT_FALSE(s.JoinGroup(ParseIPv4("10.0.0.1"), kLoopback));  // not a group
}

TEST(UdpSocket, CloseWhileAnotherThreadReceivesInALoop) {
    // A receive thread as the engines run it: receive until the socket is
    // closed under it.
    for (int round = 0; round < 20; ++round) {
        UdpSocket s, sender;
        ASSERT_TRUE(s.Open());
        ASSERT_TRUE(s.Bind(kLoopback, 39111));
        ASSERT_TRUE(sender.Open());
        std::atomic<int> received{0};
        std::thread reader([&] {
            char buffer[64];
            while (s.ReceiveFrom(buffer, sizeof buffer, nullptr) >= 0) {
                ++received;
            }
        });
        for (int i = 0; i < 50; ++i) {
            sender.SendTo("x", 1, Endpoint{kLoopback, 39111});
        }
        s.Close();
        reader.join();
        EXPECT_LE(received.load(), 50);
    }
}

}  // namespace
}  // namespace tivlo::platform
