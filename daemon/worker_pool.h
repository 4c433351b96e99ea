// The scan workers: MaxThreads scan slots, each with its own FileScanner (engines), its share of
// one memory budget and the stores kept between files, and MaxThreads threads taking jobs from a
// queue of at most MaxQueue into a free slot. A connection whose request finds a slot free and
// nothing queued runs the job itself in that slot (runHere): handing it to a worker thread and
// back costs two thread switches, more than scanning a small file. Either way at most
// MaxThreads scans run at once. The module and the compiled rules are shared, as remedy scan -j
// shares them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/scan/file_scanner.h"
#include "host/scan/memory_budget.h"
#include "host/scan/thread_stores.h"

namespace service {

class WorkerPool {
public:
    struct Setup {
        std::shared_ptr<host::Module> module;
        std::shared_ptr<const host::SignatureLibrary> signatures;  // null: no rules
        bool heuristics = false;
        std::function<std::string(uint32_t)> virusName;
        uint32_t threads = 1;
        uint32_t maxQueue = 1;
        uint64_t memoryLimit = 0;  // bytes of file contents held at once
        std::function<void(const std::string&)> log;
    };
    // Null with *error when a worker's engines cannot be made.
    static std::unique_ptr<WorkerPool> create(const Setup& setup, std::string* error);
    ~WorkerPool();  // stop()
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // A job runs on one worker with its scanner and its memory.
    using Job = std::function<void(host::FileScanner&, host::WorkerMemory&)>;
    enum class Submitted { Queued, QueueFull, Stopped };
    // Queues `job`; with `waitForRoom` waits while the queue is full instead of refusing.
    Submitted submit(Job job, bool waitForRoom);
    // Runs `job` on the calling thread when a slot is free and no job waits; false otherwise
    // (nothing ran).
    bool runHere(const Job& job);

    // Jobs started from now on scan with these rules; jobs under way finish with theirs. A worker
    // whose engines cannot take them keeps its rules and logs why.
    void useSignatures(std::shared_ptr<const host::SignatureLibrary> signatures);

    // Takes no more jobs, runs those queued, and joins the workers.
    void stop();

    struct Counts {
        uint32_t threads = 0, busy = 0;
        size_t queued = 0;
    };
    Counts counts() const;
    const host::MemoryBudget& budget() const { return budget_; }

private:
    struct Slot {
        std::unique_ptr<host::FileScanner> scanner;
        std::unique_ptr<host::WorkerMemory> memory;
        host::ThreadStores stores;
        uint64_t generation = 0;  // of the rules its scanner uses
        size_t index = 0;
    };
    explicit WorkerPool(const Setup& setup);
    void work();
    // Runs `job` in `slot` on this thread, with the newest rules the slot's engines take.
    void runInSlot(Slot& slot, const Job& job, std::shared_ptr<const host::SignatureLibrary> newer,
                   uint64_t generation);
    void giveBack(Slot* slot);

    Setup setup_;
    host::MemoryBudget budget_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::vector<Slot*> freeSlots_;
    std::vector<std::thread> threads_;
    mutable std::mutex mutex_;
    std::condition_variable jobReady_, roomReady_;
    std::deque<Job> queue_;
    bool stopping_ = false;
    uint32_t busy_ = 0;
    std::shared_ptr<const host::SignatureLibrary> signatures_;  // the newest rules
    uint64_t generation_ = 0;                                   // how often they changed
};

}  // namespace service
