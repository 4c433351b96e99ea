#include "daemon/worker_pool.h"

#include <algorithm>

namespace service {

WorkerPool::WorkerPool(const Setup& setup)
    : setup_(setup), budget_(setup.memoryLimit ? setup.memoryLimit : host::MemoryBudget::defaultLimit()),
      signatures_(setup.signatures) {}

std::unique_ptr<WorkerPool> WorkerPool::create(const Setup& setup, std::string* error) {
    std::unique_ptr<WorkerPool> pool(new WorkerPool(setup));
    for (uint32_t k = 0; k < setup.threads; ++k) {
        pool->scanners_.push_back(
            host::FileScanner::create({setup.module, setup.signatures, setup.heuristics, setup.virusName}, error));
        if (!pool->scanners_.back()) return nullptr;
    }
    for (uint32_t k = 0; k < setup.threads; ++k) pool->threads_.emplace_back([p = pool.get(), k] { p->work(k); });
    return pool;
}

WorkerPool::~WorkerPool() { stop(); }

WorkerPool::Submitted WorkerPool::submit(Job job, bool waitForRoom) {
    std::unique_lock lock(mutex_);
    if (waitForRoom) roomReady_.wait(lock, [&] { return stopping_ || queue_.size() < setup_.maxQueue; });
    if (stopping_) return Submitted::Stopped;
    if (queue_.size() >= setup_.maxQueue) return Submitted::QueueFull;
    queue_.push_back(std::move(job));
    jobReady_.notify_one();
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

void WorkerPool::work(size_t index) {
    host::FileScanner& scanner = *scanners_[index];
    // Each worker may keep a small file's store between files; together at most half the budget.
    host::WorkerMemory memory(budget_, budget_.limit() / 2 / std::max<size_t>(1, scanners_.size()));
    uint64_t generation = 0;
    for (;;) {
        Job job;
        bool rulesChanged = false;
        std::shared_ptr<const host::SignatureLibrary> newer;
        {
            std::unique_lock lock(mutex_);
            // Queued jobs run even while stopping: a shutdown drains.
            jobReady_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            job = std::move(queue_.front());
            queue_.pop_front();
            ++busy_;
            if (generation != generation_) {
                generation = generation_;
                newer = signatures_;
                rulesChanged = true;
            }
        }
        roomReady_.notify_one();
        // The swap happens between jobs: a scan under way finishes with the rules it began with.
        std::string error;
        if (rulesChanged && !scanner.useSignatures(newer, &error) && setup_.log)
            setup_.log("worker " + std::to_string(index) + " keeps its rules: " + error);
        job(scanner, memory);
        std::lock_guard lock(mutex_);
        --busy_;
    }
}

}  // namespace service
