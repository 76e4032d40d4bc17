// Test fixtures for the sender: a host window that records its messages, a
// log recorder, packet taps on the data group and on fake receivers' unicast
// addresses (plain POSIX sockets, independent of the platform layer), and
// temporary directory trees.
//
// Everything runs on 127.0.0.1 (and 127.0.0.x for fake receivers): no packet
// leaves the machine.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/wire.h"
#include "sender/server_engine.h"

namespace sendertest {

using tivlo::protocol::IPv4;

inline constexpr uint32_t kLoopback = IPv4(127, 0, 0, 1);
inline constexpr uint32_t kTestGroup = IPv4(239, 255, 42, 7);
inline constexpr auto kWait = std::chrono::seconds(10);

// ---- Host window ----

struct HostMessage {
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    std::u16string text;  // for 1042
};

class HostRecorder {
public:
    HostRecorder();
    ~HostRecorder();
    uintptr_t window() const { return window_; }

    std::vector<HostMessage> Messages();
    std::vector<HostMessage> Of(uint32_t message);
    size_t Count(uint32_t message, uintptr_t wParam);
    // Waits (real time) until pred holds over the messages so far.
    bool WaitUntil(const std::function<bool(const std::vector<HostMessage>&)>& pred,
                   std::chrono::milliseconds timeout = kWait);
    bool WaitFor(uint32_t message, uintptr_t wParam, size_t count = 1,
                 std::chrono::milliseconds timeout = kWait);
    // Runs inside the window procedure for message 1054 (the sender waits).
    std::function<void(const HostMessage&)> onDiskFull;

private:
    static void Proc(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam);
    uintptr_t window_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<HostMessage> messages_;
};

// ---- Debug log ----

class LogRecorder {
public:
    LogRecorder();
    ~LogRecorder();
    bool Contains(const std::string& line);
    size_t Count(const std::string& line);

private:
    static void Sink(void* context, const char16_t* line);
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// ---- Packets ----

struct Packet {
    std::vector<uint8_t> bytes;
    uint32_t fromAddr = 0;
    uint16_t fromPort = 0;
    uint64_t atMs = 0;  // protocol clock
    uint8_t type() const { return bytes.size() > 2 ? bytes[2] : 0; }
    uint32_t U32(size_t offset) const;
    uint16_t U16(size_t offset) const;
};

// A UDP socket with a thread that records every datagram it receives.
class PacketTap {
public:
    // Binds bindAddr:port (address reuse on); joins group on 127.0.0.1 when
    // group is not 0.
    PacketTap(uint32_t bindAddr, uint16_t port, uint32_t group = 0);
    ~PacketTap();

    std::vector<Packet> All();
    std::vector<Packet> OfType(uint8_t type);
    size_t Count(uint8_t type);
    // Waits until pred holds over the datagrams so far.
    bool WaitUntil(const std::function<bool(const std::vector<Packet>&)>& pred,
                   std::chrono::milliseconds timeout = kWait);
    bool WaitForType(uint8_t type, size_t count = 1, std::chrono::milliseconds timeout = kWait);
    // Sends from this socket.
    void SendTo(const std::vector<uint8_t>& bytes, uint32_t addr, uint16_t port);

private:
    void Run();
    int fd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Packet> packets_;
};

// A scripted receiver: its own 127.0.0.x address on the data port receives
// the Polls, Holds and unicast Repair blocks; its answers go to the sender's
// answer port from that address.
class FakeReceiver {
public:
    FakeReceiver(uint8_t lastOctet, uint16_t dataPort);
    uint32_t address() const { return address_; }
    PacketTap& tap() { return tap_; }

    void Join(uint8_t wide = 1);
    void Answer(uint32_t missing);
    void Ack(uint32_t file, uint32_t block);
    void Finish(uint8_t code);
    void Raw(const std::vector<uint8_t>& bytes);

    // Polls received so far, and the turn of the n-th one.
    size_t Polls() { return tap_.Count(tivlo::protocol::kPoll); }
    bool WaitForPolls(size_t count, std::chrono::milliseconds timeout = kWait) {
        return tap_.WaitForType(tivlo::protocol::kPoll, count, timeout);
    }
    uint32_t PollTurn(size_t n) { return tap_.OfType(tivlo::protocol::kPoll).at(n).U32(3); }

private:
    template <typename Encode>
    void Send(size_t size, Encode encode) {
        std::vector<uint8_t> b(size);
        encode(b.data());
        Raw(b);
    }
    uint32_t address_;
    uint16_t dataPort_;
    PacketTap tap_;
};

// ---- Files ----

class TempTree {
public:
    TempTree();
    ~TempTree();
    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path Dir(const std::string& relative);
    // A file of the given length with a pattern that differs per position
    // and per file.
    std::filesystem::path File(const std::string& relative, size_t length);
    void Files(std::initializer_list<const char*> relatives, size_t length = 1) {
        for (const char* r : relatives) File(r, length);
    }
    std::vector<uint8_t> Read(const std::filesystem::path& path);

private:
    std::filesystem::path root_;
    uint32_t seed_ = 1;
};

std::u16string U16(const std::filesystem::path& path);
std::u16string U16(const std::string& text);

// ---- Sender set-up, as the exports run it ----

// SetUp on 127.0.0.1 with the test group and the given data port, and the
// answer thread: InitServer before its Collect packets.
int OpenSender(tivlo::sender::ServerEngine& engine, uint16_t port, uintptr_t window);
// InitServer on 127.0.0.1 with the test group and the given data port.
int InitSender(tivlo::sender::ServerEngine& engine, uint16_t port, uintptr_t window);
// StartSend.
void StartSend(tivlo::sender::ServerEngine& engine);

// A UTF-16LE name field as the sender writes it.
std::u16string FieldName(const Packet& p, size_t fieldOffset, size_t countOffset);

// Checks a Data or Repair block (head fields, stream flag, name, length and
// data) against the file's bytes.
void ExpectBlock(const Packet& p, uint8_t type, const std::vector<uint8_t>& content, uint32_t file,
                 uint32_t block, const std::u16string& name);
// Checks that packets[i...] are every Data block of the engine's transfer
// list in order (files maps relative names to paths); moves i past them.
void ExpectDataBlocks(const std::vector<Packet>& packets, size_t& i, const tivlo::sender::ServerEngine& e,
                      const std::map<std::u16string, std::filesystem::path>& files, TempTree& tree);

// A sender on its own port with the data group tapped, torn down after the
// test.
class SenderTest : public ::testing::Test {
protected:
    void TearDown() override { e.DeInit(); }
    // InitServer alone, or with the receivers joined and collected.
    int Init() { return InitSender(e, port, host.window()); }
    void Open(FakeReceiver& rx) {
        ASSERT_EQ(OpenSender(e, port, host.window()), 1);
        rx.Join();
        ASSERT_EQ(e.CollectReceivers(), 1);
    }
    static inline uint16_t nextPort = 43700;
    const uint16_t port = nextPort += 10;
    PacketTap group{0, port, kTestGroup};
    HostRecorder host;
    tivlo::sender::ServerEngine e;
};

// The clock at real speed for the tests that measure pacing.
struct RealTime {
    RealTime();
    ~RealTime();
};

}  // namespace sendertest
