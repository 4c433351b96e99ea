#include "host/emulator/x86_cpu.h"

#include <unicorn/unicorn.h>

#include "host/emulator/unicorn_library.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace host {

namespace {
constexpr uint64_t kPage = 0x1000;
constexpr uint64_t kAddressSpace = 1ull << 32;

// Warm buffers a thread keeps for its next programs: one serves a scan (it ends one emulator
// before it makes the next), the second an emulator and a VM alive together. A buffer's pages
// become resident as programs use them and stay so. A machine that outlives the list (one
// held by a static object, ended after the thread's own objects) frees its buffer instead:
// the flag, trivially destructible, stays readable to the end.
constexpr size_t kWarmBuffersKept = 2;
thread_local bool warmBuffersGone = false;
struct WarmBuffers {
    std::vector<uint8_t*> spare;
    ~WarmBuffers() {
        warmBuffersGone = true;
        for (uint8_t* buffer : spare) ::munmap(buffer, X86Cpu::kMaxReusedBytes);
    }
};
thread_local WarmBuffers warmBuffers;
thread_local uint64_t enginesOpened = 0;

uint8_t* takeWarmBuffer() {
    if (!warmBuffersGone && !warmBuffers.spare.empty()) {
        uint8_t* buffer = warmBuffers.spare.back();
        warmBuffers.spare.pop_back();
        return buffer;
    }
    void* p = ::mmap(nullptr, X86Cpu::kMaxReusedBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                     -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
}

void giveBackWarmBuffer(uint8_t* buffer) {
    if (!buffer) return;
    if (warmBuffersGone || warmBuffers.spare.size() >= kWarmBuffersKept)
        ::munmap(buffer, X86Cpu::kMaxReusedBytes);
    else
        warmBuffers.spare.push_back(buffer);
}

uint32_t masked(int ucRegister, uint64_t value) {
    switch (ucRegister) {
    case UC_X86_REG_CS: case UC_X86_REG_DS: case UC_X86_REG_ES: case UC_X86_REG_SS:
    case UC_X86_REG_FS: case UC_X86_REG_GS: case UC_X86_REG_IP:
        return uint32_t(value & 0xFFFF);
    default:
        return uint32_t(value);
    }
}
}  // namespace

uint64_t X86Cpu::enginesOpenedOnThisThread() { return enginesOpened; }

std::vector<uint8_t*> X86Cpu::takeWarmBuffers() {
    return warmBuffersGone ? std::vector<uint8_t*>{} : std::exchange(warmBuffers.spare, {});
}

void X86Cpu::keepWarmBuffers(std::vector<uint8_t*> buffers) {
    if (warmBuffersGone) return freeWarmBuffers(buffers);
    freeWarmBuffers(warmBuffers.spare);
    warmBuffers.spare = std::move(buffers);
}

void X86Cpu::freeWarmBuffers(std::vector<uint8_t*>& buffers) {
    for (uint8_t* buffer : buffers) ::munmap(buffer, kMaxReusedBytes);
    buffers.clear();
}

std::unique_ptr<X86Cpu> X86Cpu::open(CpuMode mode) { return std::unique_ptr<X86Cpu>(new X86Cpu(mode)); }

X86Cpu::X86Cpu(CpuMode mode) : mode_(mode) {}

X86Cpu::~X86Cpu() {
    // The engine goes first: it must not outlive the memory it was given.
    if (uc_) unicorn().close(uc_);
    for (const Region& region : regions_)
        if (!region.warm) ::munmap(region.memory, region.size);
    giveBackWarmBuffer(warmBuffer_);
}

bool X86Cpu::startEngine() {
    if (uc_) return true;
    if (engineFailed_) return false;
    engineFailed_ = true;  // until everything below has worked
    uc_engine* uc = nullptr;
    if (!UnicornLibrary::load()) return false;
    if (unicorn().open(UC_ARCH_X86, mode_ == CpuMode::Real16 ? UC_MODE_16 : UC_MODE_32, &uc) != UC_ERR_OK) return false;
    ++enginesOpened;
    // The hooks go in before anything is translated, so that they see every instruction.
    uc_hook code, intr, write, unmapped;
    bool ok = unicorn().hook_add(uc, &code, UC_HOOK_CODE, reinterpret_cast<void*>(&X86Cpu::codeHook), this, 1, 0) == UC_ERR_OK &&
              unicorn().hook_add(uc, &intr, UC_HOOK_INTR, reinterpret_cast<void*>(&X86Cpu::interruptHook), this, 1, 0) == UC_ERR_OK &&
              unicorn().hook_add(uc, &write, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&X86Cpu::writeHook), this, 1, 0) == UC_ERR_OK &&
              unicorn().hook_add(uc, &unmapped, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void*>(&X86Cpu::unmappedHook), this, 1,
                          0) == UC_ERR_OK;
    // The engine reads its memory behind the host's back: an image some of whose pages are not
    // filled yet is handed over a chunk at a time, filled, when the program first reaches it.
    // Other regions go over whole, filled: a segment load below reads the descriptor table
    // outside any run, where Unicorn cannot call the hook that hands a chunk over.
    for (const Region& region : regions_) {
        if (region.pending && !region.pending->pieces.empty()) {
            region.engineChunks.assign((region.size + kEngineChunk - 1) / kEngineChunk, false);
            continue;
        }
        fill(region, 0, region.size);
        ok = ok && unicorn().mem_map_ptr(uc, region.address, region.size, UC_PROT_ALL, region.memory) == UC_ERR_OK;
    }
    // Recorded writes in their order: a segment load reads the descriptor table from memory.
    for (const RecordedWrite& w : recorded_) {
        if (!ok) break;
        if (w.reg == UC_X86_REG_GDTR) {
            uc_x86_mmr gdtr{};
            gdtr.base = w.value;
            gdtr.limit = w.limit;
            ok = unicorn().reg_write(uc, UC_X86_REG_GDTR, &gdtr) == UC_ERR_OK;
        } else {
            uint64_t wide = w.value;
            ok = unicorn().reg_write(uc, w.reg, &wide) == UC_ERR_OK;
        }
    }
    if (!ok) {
        unicorn().close(uc);
        for (const Region& region : regions_) region.engineChunks.clear();
        return false;
    }
    uc_ = uc;
    engineFailed_ = false;
    recorded_.clear();
    return true;
}

// --- Memory ---------------------------------------------------------------------------

bool X86Cpu::addRegion(Region region) {
    auto after = std::upper_bound(regions_.begin(), regions_.end(), region.address,
                                  [](uint64_t address, const Region& r) { return address < r.address; });
    if (after != regions_.end() && after->address < region.address + region.size) return false;
    if (after != regions_.begin() && std::prev(after)->address + std::prev(after)->size > region.address) return false;
    if (uc_) {
        // Added while the engine is open: it gets the region whole, with all its bytes.
        fill(region, 0, region.size);
        if (unicorn().mem_map_ptr(uc_, region.address, region.size, UC_PROT_ALL, region.memory) != UC_ERR_OK) return false;
    }
    regions_.insert(after, std::move(region));
    return true;
}

const X86Cpu::Region* X86Cpu::regionAt(uint64_t address) const {
    auto after = std::upper_bound(regions_.begin(), regions_.end(), address,
                                  [](uint64_t a, const Region& r) { return a < r.address; });
    if (after == regions_.begin()) return nullptr;
    const Region& r = *std::prev(after);
    return address - r.address < r.size ? &r : nullptr;
}

bool X86Cpu::map(uint64_t address, uint64_t size) { return place(address, size, {}, false); }

bool X86Cpu::mapReused(uint64_t address, uint64_t size) { return place(address, size, {}, true); }

bool X86Cpu::mapImage(uint64_t address, uint64_t size, std::vector<ImagePiece> pieces) {
    std::erase_if(pieces, [&](const ImagePiece& piece) { return piece.offset >= size || piece.length == 0; });
    for (ImagePiece& piece : pieces) piece.length = std::min(piece.length, size - piece.offset);
    return place(address, size, std::move(pieces), true);
}

bool X86Cpu::place(uint64_t address, uint64_t size, std::vector<ImagePiece> pieces, bool preferWarm) {
    if (size == 0 || address % kPage || size % kPage || address >= kAddressSpace || size > kAddressSpace - address)
        return false;
    uint8_t* memory = nullptr;
    const bool warm =
        preferWarm && size <= kMaxReusedBytes - warmUsed_ && (warmBuffer_ || (warmBuffer_ = takeWarmBuffer()));
    if (warm) {
        memory = warmBuffer_ + warmUsed_;
    } else {
        void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) return false;
        memory = static_cast<uint8_t*>(p);
    }
    // Warm memory holds what the last program left there: every page is cleared before it is
    // read. Fresh pages are zeros already and need only the pieces.
    const uint64_t pages = size / kPage;
    std::unique_ptr<PendingFill> pending;
    if (warm || !pieces.empty())
        pending.reset(new PendingFill{std::move(pieces), std::vector<bool>(pages, false), pages, !warm});
    if (!addRegion({address, size, memory, warm, std::move(pending), {}})) {
        if (!warm) ::munmap(memory, size);
        return false;
    }
    if (warm) warmUsed_ += size;
    return true;
}

void X86Cpu::fill(const Region& region, uint64_t offset, uint64_t length) {
    PendingFill* pending = region.pending.get();
    if (!pending || length == 0) return;
    const uint64_t lastPage = (offset + length - 1) / kPage;
    for (uint64_t page = offset / kPage; page <= lastPage;) {
        if (pending->filled[page]) {
            ++page;
            continue;
        }
        // A run of pages not filled yet: zeros, then every piece's part of the run.
        uint64_t runEnd = page;
        while (runEnd <= lastPage && !pending->filled[runEnd]) pending->filled[runEnd++] = true;
        const uint64_t from = page * kPage, to = runEnd * kPage;
        if (!pending->zeroed) std::memset(region.memory + from, 0, to - from);
        for (const ImagePiece& piece : pending->pieces) {
            const uint64_t begin = std::max(from, piece.offset), end = std::min(to, piece.offset + piece.length);
            if (begin < end) std::memcpy(region.memory + begin, piece.bytes + (begin - piece.offset), end - begin);
        }
        pending->pagesLeft -= runEnd - page;
        page = runEnd;
    }
    if (pending->pagesLeft == 0) region.pending.reset();
}

void X86Cpu::fillAll() {
    for (const Region& region : regions_) fill(region, 0, region.size);
}

bool X86Cpu::handOver(const Region& region, uint64_t offset, uint64_t length) {
    if (!uc_ || region.engineChunks.empty() || length == 0) return false;
    bool handed = false;
    const uint64_t last = std::min(offset + length - 1, region.size - 1) / kEngineChunk;
    for (uint64_t chunk = offset / kEngineChunk; chunk <= last; ++chunk) {
        if (region.engineChunks[chunk]) continue;
        const uint64_t from = chunk * kEngineChunk, bytes = std::min(kEngineChunk, region.size - from);
        fill(region, from, bytes);
        if (unicorn().mem_map_ptr(uc_, region.address + from, bytes, UC_PROT_ALL, region.memory + from) != UC_ERR_OK) break;
        region.engineChunks[chunk] = true;
        handed = true;
    }
    return handed;
}

// An access to memory the engine does not have: a chunk of a region not handed over yet is
// handed over and the access retried; anything else is a fault.
bool X86Cpu::unmappedHook(uc_struct*, int, uint64_t address, int size, int64_t, void* self) {
    auto* cpu = static_cast<X86Cpu*>(self);
    const uint64_t length = uint64_t(std::max(size, 1));
    bool handed = false;
    for (uint64_t at = address; at - address < length;) {
        const Region* r = cpu->regionAt(at);
        if (!r) {
            ++at;
            continue;
        }
        const uint64_t offset = at - r->address, piece = std::min(length - (at - address), r->size - offset);
        handed = cpu->handOver(*r, offset, piece) || handed;
        at += piece;
    }
    return handed;
}

void X86Cpu::unmap(uint64_t address, uint64_t size) {
    auto it = std::find_if(regions_.begin(), regions_.end(),
                           [&](const Region& r) { return r.address == address && r.size == size; });
    if (it == regions_.end()) return;
    // Only what the engine has is unmapped from it, its translated code removed first: asked
    // about a chunk it never got, Unicorn would look for it through the hook, outside a run.
    const auto drop = [&](uint64_t from, uint64_t length) {
        if (translated_) unicorn().ctl(uc_, UC_CTL_WRITE(UC_CTL_TB_REMOVE_CACHE, 2), from, from + length);
        unicorn().mem_unmap(uc_, from, length);
    };
    if (uc_ && it->engineChunks.empty()) drop(address, size);
    for (size_t chunk = 0; uc_ && chunk < it->engineChunks.size(); ++chunk) {
        const uint64_t from = chunk * kEngineChunk;
        if (it->engineChunks[chunk]) drop(address + from, std::min(kEngineChunk, size - from));
    }
    if (!it->warm) ::munmap(it->memory, it->size);
    regions_.erase(it);
}

bool X86Cpu::isMapped(uint64_t address) const { return regionAt(address) != nullptr; }

uint64_t X86Cpu::mappedRun(uint64_t address, uint64_t limit) const {
    uint64_t end = address;
    while (end - address < limit) {
        const Region* r = regionAt(end);
        if (!r) break;
        end = r->address + r->size;
    }
    return std::min(end - address, limit);
}

template <class Visit>
uint32_t X86Cpu::walkMapped(uint64_t address, uint32_t length, Visit visit) const {
    uint32_t done = 0;
    while (done < length) {
        const Region* r = regionAt(address + done);
        if (!r) break;
        const uint64_t offset = address + done - r->address;
        const uint32_t chunk = uint32_t(std::min<uint64_t>(length - done, r->size - offset));
        if (!visit(*r, offset, chunk, done)) break;
        done += chunk;
    }
    return done;
}

uint32_t X86Cpu::read(uint64_t address, void* buffer, uint32_t length) const {
    // Guest memory is host memory, with or without the engine.
    return walkMapped(address, length, [&](const Region& r, uint64_t offset, uint32_t chunk, uint32_t done) {
        fill(r, offset, chunk);
        std::memcpy(static_cast<uint8_t*>(buffer) + done, r.memory + offset, chunk);
        return true;
    });
}

uint32_t X86Cpu::write(uint64_t address, const void* buffer, uint32_t length) {
    const uint32_t done = walkMapped(address, length, [&](const Region& r, uint64_t offset, uint32_t chunk, uint32_t at) {
        const uint8_t* from = static_cast<const uint8_t*>(buffer) + at;
        if (!uc_) {
            fill(r, offset, chunk);
            std::memcpy(r.memory + offset, from, chunk);
            return true;
        }
        // Through the engine once it is open, so that it sees the store as its own.
        handOver(r, offset, chunk);
        return unicorn().mem_write(uc_, address + at, from, chunk) == UC_ERR_OK;
    });
    // Code already translated from these bytes would otherwise keep running in its old form.
    if (done && uc_ && translated_) unicorn().ctl(uc_, UC_CTL_WRITE(UC_CTL_TB_REMOVE_CACHE, 2), address, address + done);
    return done;
}

// --- Registers ------------------------------------------------------------------------

uint32_t X86Cpu::reg(int ucRegister) const {
    if (!uc_) {
        for (const RecordedWrite& w : recorded_)
            if (w.reg == ucRegister) return masked(ucRegister, w.value);
        // Only the engine knows the value of a register nobody set: opening it changes nothing
        // the program can see.
        if (!const_cast<X86Cpu*>(this)->startEngine()) return 0;
    }
    uint64_t value = 0;  // wide enough for any register Unicorn writes here
    unicorn().reg_read(uc_, ucRegister, &value);
    return masked(ucRegister, value);
}

void X86Cpu::setReg(int ucRegister, uint32_t value) {
    if (uc_) {
        uint64_t wide = value;
        unicorn().reg_write(uc_, ucRegister, &wide);
        return;
    }
    // The latest write of a register replaces the earlier one and moves to the end, so that
    // the order between registers (a segment after the descriptor table) is kept.
    std::erase_if(recorded_, [&](const RecordedWrite& w) { return w.reg == ucRegister; });
    recorded_.push_back({ucRegister, value, 0});
}

uint64_t X86Cpu::linearIp() const {
    if (realMode()) return uint64_t(reg(UC_X86_REG_CS)) * 16 + reg(UC_X86_REG_IP);
    return reg(UC_X86_REG_EIP);
}

void X86Cpu::setGdt(uint64_t base, uint32_t limit) {
    if (uc_) {
        uc_x86_mmr gdtr{};
        gdtr.base = base;
        gdtr.limit = limit;
        unicorn().reg_write(uc_, UC_X86_REG_GDTR, &gdtr);
        return;
    }
    std::erase_if(recorded_, [](const RecordedWrite& w) { return w.reg == UC_X86_REG_GDTR; });
    recorded_.push_back({UC_X86_REG_GDTR, base, limit});
}

// --- Runs -----------------------------------------------------------------------------

CpuExit X86Cpu::run(uint64_t begin, CpuObserver* observer) {
    if (!startEngine()) return CpuExit::Fault;
    observer_ = observer;
    translated_ = true;
    stoppedByHook_ = false;
    interruptStop_ = false;
    codeWritten_ = replayed_ = false;
    lastAddress_ = ~uint64_t(0);
    uc_err err = unicorn().emu_start(uc_, begin, ~uint64_t(0), 0, 0);
    observer_ = nullptr;
    if (stoppedByHook_ && realMode()) {
        // After a stop requested from the code hook, 16-bit Unicorn reads IP back as the linear
        // address; put the offset within the current CS back.
        setReg(UC_X86_REG_IP, uint32_t(lastAddress_ - uint64_t(reg(UC_X86_REG_CS)) * 16) & 0xFFFF);
    }
    if (err != UC_ERR_OK) {
        // The faulting instruction is the last one the code hook saw (an unmapped fetch
        // leaves Unicorn's IP on the target instead, which is the more useful place).
        if (err != UC_ERR_FETCH_UNMAPPED && err != UC_ERR_FETCH_PROT) {
            if (realMode())
                setReg(UC_X86_REG_IP, uint32_t(lastAddress_ - uint64_t(reg(UC_X86_REG_CS)) * 16) & 0xFFFF);
            else
                setReg(UC_X86_REG_EIP, uint32_t(lastAddress_));
        }
        return err == UC_ERR_FETCH_UNMAPPED || err == UC_ERR_FETCH_PROT ? CpuExit::FetchFault : CpuExit::Fault;
    }
    return (stoppedByHook_ || interruptStop_) ? CpuExit::Stopped : CpuExit::Halted;
}

void X86Cpu::requestStop() {
    stoppedByHook_ = true;
    unicorn().emu_stop(uc_);
}

void X86Cpu::codeHook(uc_struct*, uint64_t address, uint32_t size, void* self) {
    auto* cpu = static_cast<X86Cpu*>(self);
    // A store into the code being executed makes Unicorn translate again and replay the
    // storing instruction, hook included: that second call is not a new instruction. (One
    // replay at most, so that a REP store over its own page is still counted.)
    if (address == cpu->lastAddress_ && cpu->codeWritten_ && !cpu->replayed_) {
        cpu->replayed_ = true;
        cpu->codeWritten_ = false;
        return;
    }
    cpu->replayed_ = cpu->codeWritten_ = false;
    cpu->lastAddress_ = address;
    if (cpu->observer_ && !cpu->observer_->beforeInstruction(address, size)) cpu->requestStop();
}

void X86Cpu::interruptHook(uc_struct*, uint32_t number, void* self) {
    auto* cpu = static_cast<X86Cpu*>(self);
    // A software interrupt leaves the IP past its instruction; an exception leaves it on the
    // faulting one. Tell them apart by the bytes just before the IP.
    uint64_t ip = cpu->linearIp();
    uint8_t before[2] = {0, 0};
    bool software = false;
    if (ip >= 2 && cpu->read(ip - 2, before, 2) == 2) {
        software = (before[0] == 0xCD && before[1] == number) || (number == 3 && before[1] == 0xCC) ||
                   (number == 4 && before[1] == 0xCE) || (number == 1 && before[1] == 0xF1);
    }
    bool goOn = cpu->observer_ ? cpu->observer_->onInterrupt(number, software) : false;
    if (!goOn) {
        // The stop leaves the IP where the interrupt put it (past an INT, on a faulting
        // instruction); nothing to rewrite.
        cpu->stoppedByHook_ = false;
        cpu->lastAddress_ = ip;
        unicorn().emu_stop(cpu->uc_);
        cpu->interruptStop_ = true;
    }
}

bool X86Cpu::writeHook(uc_struct*, int, uint64_t address, int size, int64_t, void* self) {
    auto* cpu = static_cast<X86Cpu*>(self);
    const uint64_t codePage = cpu->lastAddress_ >> 12;
    if (address >> 12 == codePage || (address + uint64_t(size) - 1) >> 12 == ((cpu->lastAddress_ + 15) >> 12))
        cpu->codeWritten_ = true;
    if (cpu->observer_) cpu->observer_->onWrite(address, uint32_t(size));
    return true;
}

}  // namespace host
