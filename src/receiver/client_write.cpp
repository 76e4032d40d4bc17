// The write thread: the core's file operations in order, consecutive stream
// blocks of one file collected in a 30-block buffer and written at once.
#include "receiver/client_write.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/filesystem.h"
#include "protocol/blocks.h"
#include "protocol/wire.h"

namespace tivlo::receiver {

Writer::Writer() : buffer_(new uint8_t[size_t(kWriteBufferBlocks) * protocol::kBlockSize]()) {}

Writer::~Writer() { CloseFile(); }

void Writer::Allocate(uint32_t capacity) {
    std::lock_guard<std::mutex> lock(lock_);
    if (pool_) return;
    poolSize_ = std::max<uint32_t>(capacity, 1);
    pool_.reset(new Op[poolSize_]);
    free_.clear();
    for (uint32_t i = poolSize_; i > 0; --i) free_.push_back(i - 1);
    ring_.assign(poolSize_, 0);
    head_ = count_ = 0;
}

void Writer::Reset() {
    std::lock_guard<std::mutex> lock(lock_);
    for (; count_ > 0; --count_) {
        free_.push_back(ring_[head_]);
        head_ = (head_ + 1) % poolSize_;
    }
    results_.clear();
    stop_ = false;
    generation_ = 0;
}

Writer::Op* Writer::TakeSlot(uint32_t waitMs) {
    const uint64_t deadline = platform::NowMs() + waitMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (!free_.empty()) {
                Op* op = &pool_[free_.back()];
                free_.pop_back();
                return op;
            }
            if (stop_) return nullptr;
        }
        // Every buffer waits for the disk.
        if (waitMs == 0 || platform::NowMs() >= deadline) return nullptr;
        platform::SleepMs(1);
    }
}

void Writer::Push(Op* op) {
    std::lock_guard<std::mutex> lock(lock_);
    ring_[(head_ + count_) % poolSize_] = uint32_t(op - pool_.get());
    ++count_;
    // A busy write thread looks again within kBatchWait by itself; waking it
    // for every block would cost two thread switches per datagram.
    if (idle_ || count_ == kWakeBatch || op->kind != Op::Block) wake_.notify_one();
}

void Writer::BeginTask(uint32_t generation) {
    std::lock_guard<std::mutex> lock(lock_);
    // What an older task left queued is dropped unwritten.
    generation_ = generation;
    for (; count_ > 0; --count_) {
        free_.push_back(ring_[head_]);
        head_ = (head_ + 1) % poolSize_;
    }
}

void Writer::OpenRoot(uint32_t generation, const std::u16string& root) { PushPathOp(Op::Root, generation, root); }

void Writer::MakeDirectories(uint32_t generation, const std::u16string& relative) {
    PushPathOp(Op::MakeDirs, generation, relative);
}

void Writer::PushPathOp(Op::Kind kind, uint32_t generation, const std::u16string& path) {
    Op* op = TakeSlot(1000);
    if (op == nullptr) return;
    op->kind = kind;
    op->generation = generation;
    op->path = path;
    Push(op);
}

bool Writer::Write(const BlockWrite& w, uint32_t waitMs) {
    Op* op = TakeSlot(waitMs);
    if (op == nullptr) return false;
    op->kind = Op::Block;
    op->generation = w.generation;
    op->file = w.file;
    op->block = w.block;
    op->lastIndex = w.lastIndex;
    op->lastLength = w.lastLength;
    op->stream = w.stream;
    op->length = w.length;
    op->path = *w.path;
    std::memcpy(op->data.data(), w.data, w.length);
    Push(op);
    return true;
}

void Writer::Drain(uint32_t token) {
    Op* op = TakeSlot(UINT32_MAX);
    if (op == nullptr) return;
    op->kind = Op::Drain;
    op->token = token;
    Push(op);
}

void Writer::Stop() {
    std::lock_guard<std::mutex> lock(lock_);
    stop_ = true;
    wake_.notify_all();
}

bool Writer::TakeResult(WriteResult* result) {
    std::lock_guard<std::mutex> lock(lock_);
    if (results_.empty()) return false;
    *result = results_.front();
    results_.pop_front();
    return true;
}

void Writer::Report(const WriteResult& result) {
    std::lock_guard<std::mutex> lock(lock_);
    results_.push_back(result);
}

void Writer::Run(const std::function<void()>& beforeWrite) {
    for (;;) {
        Op* op = nullptr;
        {
            std::unique_lock<std::mutex> lock(lock_);
            while (!stop_ && count_ == 0) {
                if (idle_) {
                    wake_.wait(lock);
                } else if (wake_.wait_for(lock, kBatchWait) == std::cv_status::timeout && count_ == 0) {
                    idle_ = true;  // the stream paused: from now on every push wakes it
                }
            }
            idle_ = false;
            // A stop leaves queued blocks unwritten.
            if (stop_) break;
            op = &pool_[ring_[head_]];
            head_ = (head_ + 1) % poolSize_;
            --count_;
            if (op->kind != Op::Drain && op->generation != generation_) op->kind = Op::Skip;
        }
        switch (op->kind) {
            case Op::Block:
                if (beforeWrite) beforeWrite();
                WriteBlock(*op);
                break;
            case Op::Root: UseRoot(*op); break;
            case Op::MakeDirs:
                if (!dir_.MakeDirectories(op->path)) Report({WriteResult::FileFailed, op->generation, 0, 0});
                break;
            case Op::Drain:
                // Everything on disk and under its name: a file written
                // beside an old one replaces it when closed.
                Flush();
                CloseFile();
                currentFile_ = 0;
                Report({WriteResult::Drained, 0, 0, op->token});
                break;
            case Op::Skip: break;
        }
        std::lock_guard<std::mutex> lock(lock_);
        free_.push_back(uint32_t(op - pool_.get()));
    }
    CloseFile();
    identity_.reset();
    dir_.Close();
}

void Writer::UseRoot(const Op& op) {
    if (op.generation != writerGeneration_) {
        AbandonTask();
    } else {
        Flush();
        CloseFile();
    }
    identity_.reset();
    dir_.Close();
    currentFile_ = 0;
    // A root that does not exist yet is made (its path is the sender's
    // choice, accepted by the receiver's policy), each directory as the
    // owner of the one above it; below it, everything is made as its owner.
    if (dir_.Open(op.path, true)) identity_ = std::make_unique<platform::WriteIdentity>(dir_.OwnerUid(), dir_.OwnerGid());
}

void Writer::AbandonTask() {
    // A task that a new one replaced: what it left buffered is dropped, and
    // a file it wrote beside an old one never replaces it.
    blockCount_ = 0;
    byteCount_ = 0;
    if (fileOpen_) file_.Discard();
    fileOpen_ = false;
}

void Writer::CloseFile() {
    if (!fileOpen_) return;
    fileOpen_ = false;
    // A replacement is renamed over the old name only now.
    if (!file_.Close() && !failedThisTask_.contains(currentFile_)) {
        failedThisTask_.insert(currentFile_);
        Report({WriteResult::FileFailed, writerGeneration_, currentFile_, 0});
    }
}

void Writer::Flush() {
    if (fileOpen_ && blockCount_ > 0) {
        const uint32_t first = lastBufferedBlock_ - blockCount_ + 1;
        if (!file_.Seek(int64_t(protocol::BlockOffset(first))) || !file_.Write(buffer_.get(), byteCount_)) {
            // A full disk or a failing device: the sender and the host hear
            // of it once per task.
            if (!writeFailed_) {
                writeFailed_ = true;
                Report({WriteResult::WriteFailed, writerGeneration_, currentFile_, 0});
            }
        }
    }
    blockCount_ = 0;
    byteCount_ = 0;
}

void Writer::WriteBlock(const Op& op) {
    if (op.generation != writerGeneration_) {
        // A new task: nothing of it goes into a file of the previous one.
        AbandonTask();
        currentFile_ = 0;
        lastBufferedBlock_ = 0;
        openedThisTask_.clear();
        failedThisTask_.clear();
        writeFailed_ = false;
        writerGeneration_ = op.generation;
    }
    const uint32_t f = op.file;
    const uint32_t k = op.block;
    const uint32_t n = op.length;
    auto putAlone = [&] {
        std::memcpy(buffer_.get(), op.data.data(), n);
        blockCount_ = 1;
        byteCount_ = n;
        lastBufferedBlock_ = k;
    };

    if (f != currentFile_) {
        Flush();
        CloseFile();
        currentFile_ = 0;
        if (failedThisTask_.contains(f)) return;
        if (!dir_.OpenFile(op.path, &file_)) {
            failedThisTask_.insert(f);
            Report({WriteResult::FileFailed, op.generation, f, 0});
            return;
        }
        // The file gets exactly the sender's length: a longer one left at
        // this path is cut when this task first opens it.
        if (openedThisTask_.insert(f).second) {
            const int64_t length = int64_t(protocol::BlockOffset(op.lastIndex) + op.lastLength);
            if (file_.Length() > length) (void)file_.Truncate(length);
        }
        fileOpen_ = true;
        currentFile_ = f;
        putAlone();
        if (op.stream && k < op.lastIndex) return;
        Flush();
        return;
    }
    if (op.stream && k == lastBufferedBlock_ + 1 && blockCount_ > 0) {
        std::memcpy(buffer_.get() + size_t(blockCount_) * protocol::kBlockSize, op.data.data(), n);
        ++blockCount_;
        byteCount_ += n;
        lastBufferedBlock_ = k;
        if (blockCount_ < kWriteBufferBlocks && k < op.lastIndex) return;
        Flush();
        return;
    }
    // A skip, a repeat, an older block or a Repair block starts a batch of
    // its own; a Repair block is written at once.
    Flush();
    putAlone();
    if (op.stream && k < op.lastIndex) return;
    Flush();
}

}  // namespace tivlo::receiver
