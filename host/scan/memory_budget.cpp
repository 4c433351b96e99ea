#include "host/scan/memory_budget.h"

#include <unistd.h>

#include <algorithm>

#include "host/qxbase/file_object.h"

namespace host {

uint64_t MemoryBudget::defaultLimit() {
    const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
    const uint64_t physical = pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) : 0;
    return std::max<uint64_t>(physical / 4, 64ull << 20);
}

void MemoryBudget::hold(uint64_t bytes) {
    held_ += bytes;
    peak_ = std::max(peak_, held_);
}

void MemoryBudget::acquire(uint64_t bytes) {
    std::unique_lock lock(mutex_);
    const uint64_t ticket = nextTicket_++;
    // Bounded by the other workers: each gives its bytes back when its file is done.
    changed_.wait(lock, [&] { return ticket == serving_ && fits(bytes); });
    ++serving_;
    hold(bytes);
    changed_.notify_all();  // the next in line may fit as well
}

bool MemoryBudget::tryAcquire(uint64_t bytes) {
    std::lock_guard lock(mutex_);
    if (nextTicket_ != serving_ || !fits(bytes)) return false;
    hold(bytes);
    return true;
}

void MemoryBudget::release(uint64_t bytes) {
    std::lock_guard lock(mutex_);
    held_ -= std::min(bytes, held_);
    changed_.notify_all();
}

bool MemoryBudget::othersWaiting() const {
    std::lock_guard lock(mutex_);
    return nextTicket_ != serving_;
}

uint64_t MemoryBudget::peak() const {
    std::lock_guard lock(mutex_);
    return peak_;
}

void WorkerMemory::beforeFile(uint64_t bytes) {
    fileBytes_ = bytes;
    if (bytes <= held_ || budget_.tryAcquire(bytes - held_)) {
        held_ = std::max(held_, bytes);
        return;
    }
    // Waiting while holding would let every worker wait on the others: give all back first.
    giveBack();
    budget_.acquire(bytes);
    held_ = bytes;
}

void WorkerMemory::afterFile() {
    if (fileBytes_ > keepLimit_ || budget_.othersWaiting()) giveBack();
    fileBytes_ = 0;
}

void WorkerMemory::giveBack() {
    host::FileObject::releaseSpareBytes();
    budget_.release(held_);
    held_ = 0;
}

}  // namespace host
