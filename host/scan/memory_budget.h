// One budget of memory for the file contents all scan workers hold at once, so that memory
// does not grow with workers times file size.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace host {

class MemoryBudget {
public:
    explicit MemoryBudget(uint64_t limit) : limit_(limit) {}

    // A quarter of physical memory (at least 64 MiB): room for the engines, the emulators and
    // the rest of the system beside the files being scanned.
    static uint64_t defaultLimit();

    // Holds `bytes` more, waiting until they fit beside what the others hold. Requests are
    // served in the order they came, so a large one is not passed over forever. A request
    // larger than the whole budget waits until nothing else is held and then runs alone:
    // nothing else fits until it is given back.
    void acquire(uint64_t bytes);
    // Holds `bytes` more only if they fit at once and nobody waits. False: nothing held.
    bool tryAcquire(uint64_t bytes);
    void release(uint64_t bytes);

    bool othersWaiting() const;
    uint64_t limit() const { return limit_; }
    uint64_t peak() const;

private:
    bool fits(uint64_t bytes) const { return held_ == 0 || (held_ <= limit_ && bytes <= limit_ - held_); }
    void hold(uint64_t bytes);

    const uint64_t limit_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t held_ = 0, peak_ = 0;
    uint64_t nextTicket_ = 0, serving_ = 0;  // waiting requests, in the order they came
};

// What one worker holds of the budget: the file it is reading and the store its thread keeps
// for the next file (see host::FileObject::fromFile), which stays resident between files.
class WorkerMemory {
public:
    // Files up to `keepLimit` bytes may stay in the thread's store between files.
    WorkerMemory(MemoryBudget& budget, uint64_t keepLimit) : budget_(budget), keepLimit_(keepLimit) {}
    ~WorkerMemory() { giveBack(); }
    WorkerMemory(const WorkerMemory&) = delete;
    WorkerMemory& operator=(const WorkerMemory&) = delete;

    // Before reading a file of `bytes`: waits until they are held.
    void beforeFile(uint64_t bytes);
    // After the file's object is gone: frees the store when it holds a large file or when
    // another worker waits for room.
    void afterFile();

private:
    void giveBack();

    MemoryBudget& budget_;
    const uint64_t keepLimit_;
    uint64_t held_ = 0;      // reserved by this worker
    uint64_t fileBytes_ = 0;  // the current file's size
};

}  // namespace host
