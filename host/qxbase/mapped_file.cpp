#include "host/qxbase/mapped_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

namespace host {

namespace {

// One live mapping, as the SIGBUS handler sees it. Only atomics, so the handler may read them
// while a thread adds or ends a mapping; a slot is marked live only after its range is set, and
// taken out of the lookup before its pages are unmapped.
enum SlotState : int { Free, Busy, Live };
struct Slot {
    std::atomic<int> state{Free};
    std::atomic<uintptr_t> start{0};
    std::atomic<size_t> length{0};  // whole pages
    std::atomic<bool> truncated{false};
};
Slot slots[MappedFile::kMaxMappings];
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<uintptr_t>::is_always_lock_free &&
              std::atomic<size_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

struct sigaction previousAction {};
uintptr_t pageSize = 4096;  // set before the handler is installed

// What SIGBUS would have done without this handler.
void passOn(int signal, siginfo_t* info, void* context) {
    if ((previousAction.sa_flags & SA_SIGINFO) && previousAction.sa_sigaction) {
        previousAction.sa_sigaction(signal, info, context);
        return;
    }
    if (previousAction.sa_handler == SIG_IGN && info->si_code <= 0) return;  // sent, not a fault: ignored
    if (previousAction.sa_handler != SIG_DFL && previousAction.sa_handler != SIG_IGN) {
        previousAction.sa_handler(signal);
        return;
    }
    // The default action: die of this signal. It is blocked while the handler runs, so the raised
    // one is delivered as the handler returns (before a faulting access would run again).
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGBUS, &fallback, nullptr);
    raise(SIGBUS);
}

void onBusError(int signal, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    if (info && info->si_code == BUS_ADRERR) {
        const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
        for (Slot& slot : slots) {
            if (slot.state.load(std::memory_order_acquire) != Live) continue;
            const uintptr_t start = slot.start.load(std::memory_order_relaxed);
            const size_t length = slot.length.load(std::memory_order_relaxed);
            if (address < start || address - start >= length) continue;
            // The file ends before this page now: the rest of the mapping becomes zero pages.
            const uintptr_t page = address & ~(pageSize - 1);
            void* zeros = mmap(reinterpret_cast<void*>(page), start + length - page, PROT_READ,
                               MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (zeros == MAP_FAILED) break;  // cannot be mended: a crash as before
            slot.truncated.store(true, std::memory_order_relaxed);
            errno = savedErrno;
            return;
        }
    }
    errno = savedErrno;
    passOn(signal, info, context);
}

void installHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        pageSize = uintptr_t(sysconf(_SC_PAGESIZE));
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &previousAction);
    });
}

int claimSlot() {
    for (int i = 0; i < MappedFile::kMaxMappings; ++i) {
        int expected = Free;
        if (slots[i].state.compare_exchange_strong(expected, Busy, std::memory_order_acq_rel)) return i;
    }
    return -1;
}

}  // namespace

MappedFile MappedFile::map(int fd, size_t size) {
    MappedFile file;
    if (size == 0) return file;
    installHandler();
    const int slot = claimSlot();
    if (slot < 0) return file;
    void* start = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (start == MAP_FAILED) {
        slots[slot].state.store(Free, std::memory_order_release);
        return file;
    }
    slots[slot].start.store(reinterpret_cast<uintptr_t>(start), std::memory_order_relaxed);
    slots[slot].length.store((size + pageSize - 1) / pageSize * pageSize, std::memory_order_relaxed);
    slots[slot].truncated.store(false, std::memory_order_relaxed);
    slots[slot].state.store(Live, std::memory_order_release);
    file.start_ = static_cast<const uint8_t*>(start);
    file.size_ = size;
    file.slot_ = slot;
    return file;
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : start_(std::exchange(other.start_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      slot_(std::exchange(other.slot_, -1)),
      truncated_(std::exchange(other.truncated_, false)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    if (this != &other) {
        unmap();
        start_ = std::exchange(other.start_, nullptr);
        size_ = std::exchange(other.size_, 0);
        slot_ = std::exchange(other.slot_, -1);
        truncated_ = std::exchange(other.truncated_, false);
    }
    return *this;
}

bool MappedFile::truncated() const {
    return slot_ >= 0 ? slots[slot_].truncated.load(std::memory_order_relaxed) : truncated_;
}

void MappedFile::copyOutAndUnmap(std::vector<uint8_t>& to) {
    constexpr size_t kPiece = 1u << 20;  // a multiple of the page size
    for (size_t at = 0; at < size_; at += kPiece) {
        const size_t length = std::min(kPiece, size_ - at);
        to.insert(to.end(), start_ + at, start_ + at + length);
        // Dropped pages of a private file mapping come back from the file if read again; no
        // one reads them again: the mapping ends below.
        ::madvise(const_cast<uint8_t*>(start_ + at), (length + pageSize - 1) / pageSize * pageSize, MADV_DONTNEED);
    }
    unmap();
}

void MappedFile::unmap() {
    if (slot_ < 0) return;
    Slot& slot = slots[slot_];
    truncated_ = slot.truncated.load(std::memory_order_relaxed);
    // Out of the lookup before the pages go, so the handler never mends a range that is no
    // longer this mapping's. Only the owner reads its pages, and it is here, not reading.
    slot.state.store(Busy, std::memory_order_release);
    munmap(const_cast<uint8_t*>(start_), slot.length.load(std::memory_order_relaxed));
    slot.state.store(Free, std::memory_order_release);
    start_ = nullptr;
    size_ = 0;
    slot_ = -1;
}

}  // namespace host
