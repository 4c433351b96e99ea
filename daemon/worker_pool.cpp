#include "daemon/worker_pool.h"

#include <algorithm>

namespace service {

WorkerPool::WorkerPool(const Setup& setup)
    : setup_(setup), budget_(setup.memoryLimit ? setup.memoryLimit : host::MemoryBudget::defaultLimit()),
      signatures_(setup.signatures) {}

std::unique_ptr<WorkerPool> WorkerPool::create(const Setup& setup, std::string* error) {
    std::unique_ptr<WorkerPool> pool(new WorkerPool(setup));
    // Each slot may keep a small file's store between files; together at most half the budget.
    const uint64_t keepLimit = pool->budget_.limit() / 2 / std::max<uint32_t>(1, setup.threads);
    for (uint32_t k = 0; k < setup.threads; ++k) {
        auto slot = std::make_unique<Slot>();
        slot->scanner =
            host::FileScanner::create({setup.module, setup.signatures, setup.heuristics, setup.virusName}, error);
        if (!slot->scanner) return nullptr;
        slot->memory = std::make_unique<host::WorkerMemory>(pool->budget_, keepLimit);
        slot->index = k;
        pool->freeSlots_.push_back(slot.get());
        pool->slots_.push_back(std::move(slot));
    }
    for (uint32_t k = 0; k < setup.threads; ++k) pool->threads_.emplace_back([p = pool.get()] { p->work(); });
    return pool;
}

WorkerPool::~WorkerPool() { stop(); }

WorkerPool::Submitted WorkerPool::submit(Job job, bool waitForRoom) {
    std::unique_lock lock(mutex_);
    if (waitForRoom) roomReady_.wait(lock, [&] { return stopping_ || queue_.size() < setup_.maxQueue; });
    if (stopping_) return Submitted::Stopped;
    if (queue_.size() >= setup_.maxQueue) return Submitted::QueueFull;
    queue_.push_back(std::move(job));
    const bool slotFree = !freeSlots_.empty();
    lock.unlock();
    // With every slot taken, the slot given back next wakes a worker for this job.
    if (slotFree) jobReady_.notify_one();
    return Submitted::Queued;
}

void WorkerPool::useSignatures(std::shared_ptr<const host::SignatureLibrary> signatures) {
    std::lock_guard lock(mutex_);
    signatures_ = std::move(signatures);
    ++generation_;
}

void WorkerPool::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    jobReady_.notify_all();
    roomReady_.notify_all();
    for (std::thread& thread : threads_)
        if (thread.joinable()) thread.join();
}

WorkerPool::Counts WorkerPool::counts() const {
    std::lock_guard lock(mutex_);
    return {uint32_t(threads_.size()), busy_, queue_.size()};
}

bool WorkerPool::runHere(const Job& job) {
    Slot* slot;
    std::shared_ptr<const host::SignatureLibrary> newer;
    uint64_t generation;
    {
        std::lock_guard lock(mutex_);
        // A queued job goes first: running past it would let connections overtake the queue.
        if (stopping_ || !queue_.empty() || freeSlots_.empty()) return false;
        slot = freeSlots_.back();
        freeSlots_.pop_back();
        ++busy_;
        newer = signatures_;
        generation = generation_;
    }
    runInSlot(*slot, job, std::move(newer), generation);
    giveBack(slot);
    return true;
}

void WorkerPool::work() {
    for (;;) {
        Job job;
        Slot* slot;
        std::shared_ptr<const host::SignatureLibrary> newer;
        uint64_t generation;
        {
            std::unique_lock lock(mutex_);
            // Queued jobs run even while stopping: a shutdown drains.
            jobReady_.wait(lock, [&] { return (stopping_ && queue_.empty()) || (!queue_.empty() && !freeSlots_.empty()); });
            if (queue_.empty()) return;
            job = std::move(queue_.front());
            queue_.pop_front();
            slot = freeSlots_.back();
            freeSlots_.pop_back();
            ++busy_;
            newer = signatures_;
            generation = generation_;
        }
        roomReady_.notify_one();
        runInSlot(*slot, job, std::move(newer), generation);
        job = nullptr;  // what the job holds goes before its slot is free
        giveBack(slot);
    }
}

void WorkerPool::runInSlot(Slot& slot, const Job& job, std::shared_ptr<const host::SignatureLibrary> newer,
                           uint64_t generation) {
    slot.stores.moveToThisThread();
    // The swap happens between jobs: a scan under way finishes with the rules it began with.
    if (slot.generation != generation) {
        slot.generation = generation;
        std::string error;
        if (!slot.scanner->useSignatures(newer, &error) && setup_.log)
            setup_.log("worker " + std::to_string(slot.index) + " keeps its rules: " + error);
    }
    job(*slot.scanner, *slot.memory);
    slot.stores.moveFromThisThread();
}

void WorkerPool::giveBack(Slot* slot) {
    bool jobsWait;
    {
        std::lock_guard lock(mutex_);
        freeSlots_.push_back(slot);
        --busy_;
        jobsWait = !queue_.empty();
    }
    // A queued job may wait for this slot. Otherwise no worker is woken: one woken for nothing
    // costs two thread switches, more than a small file's scan.
    if (jobsWait) jobReady_.notify_one();
}

}  // namespace service
