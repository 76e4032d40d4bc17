// The receiver's writer: carries out the core's file operations in order on
// the write thread, from a fixed pool of reused buffers, and reports what
// failed and when it has drained.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/target_dir.h"
#include "receiver/receiver_core.h"

namespace tivlo::receiver {

inline constexpr uint32_t kWriteBufferBlocks = 30;

class Writer {
public:
    Writer();
    ~Writer();

    // Takes the pool's buffers (once; the capacity is fixed from then on).
    void Allocate(uint32_t capacity);
    // A new initialisation: nothing queued, no result waiting.
    void Reset();

    // The receive thread's side. Write returns false when no buffer is free
    // within waitMs.
    void BeginTask(uint32_t generation);
    void OpenRoot(uint32_t generation, const std::u16string& root);
    void MakeDirectories(uint32_t generation, const std::u16string& relative);
    bool Write(const BlockWrite& block, uint32_t waitMs);
    void Drain(uint32_t token);
    bool TakeResult(WriteResult* result);

    // The write thread's body, until Stop; beforeWrite runs before each block.
    void Run(const std::function<void()>& beforeWrite);
    void Stop();

private:
    struct Op {
        enum Kind { Block, Root, MakeDirs, Drain, Skip } kind = Block;
        uint32_t generation = 0;
        uint32_t file = 0;
        uint32_t block = 0;
        uint32_t lastIndex = 0;
        uint16_t lastLength = 0;
        bool stream = false;
        uint32_t length = 0;
        uint32_t token = 0;
        std::u16string path;
        std::array<uint8_t, 4254> data;
    };

    Op* TakeSlot(uint32_t waitMs);
    void Push(Op* op);
    void PushPathOp(Op::Kind kind, uint32_t generation, const std::u16string& path);
    void Report(const WriteResult& result);
    void WriteBlock(const Op& op);
    void UseRoot(const Op& op);
    void Flush();
    void CloseFile();
    void AbandonTask();

    std::mutex lock_;
    std::condition_variable wake_;
    std::unique_ptr<Op[]> pool_;
    uint32_t poolSize_ = 0;
    std::vector<uint32_t> free_;  // lock_
    std::vector<uint32_t> ring_;  // lock_
    uint32_t head_ = 0;           // lock_
    uint32_t count_ = 0;          // lock_
    uint32_t generation_ = 0;     // lock_: the task whose operations count
    bool stop_ = false;           // lock_
    bool idle_ = true;            // lock_: the write thread waits without a time limit
    static constexpr uint32_t kWakeBatch = 32;
    static constexpr std::chrono::milliseconds kBatchWait{1};
    std::deque<WriteResult> results_;  // lock_

    // The write thread's own. Every file operation goes below the task's
    // root, never through a link, and as the root's owner.
    std::unique_ptr<uint8_t[]> buffer_;
    uint32_t blockCount_ = 0;
    uint32_t byteCount_ = 0;
    uint32_t lastBufferedBlock_ = 0;
    platform::TargetDir dir_;
    std::unique_ptr<platform::WriteIdentity> identity_;
    platform::TargetFile file_;
    bool fileOpen_ = false;
    uint32_t currentFile_ = 0;
    uint32_t writerGeneration_ = 0;
    bool writeFailed_ = false;
    std::unordered_set<uint32_t> openedThisTask_;
    std::unordered_set<uint32_t> failedThisTask_;
};

}  // namespace tivlo::receiver
