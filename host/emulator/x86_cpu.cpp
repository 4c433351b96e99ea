#include "host/emulator/x86_cpu.h"

#include <unicorn/unicorn.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace host {

namespace {
constexpr uint64_t kPage = 0x1000;
// No engine is kept for now: fuzzing the kill engine crashed inside Unicorn 2.0.1's
// translation-block invalidation (page_collection_lock) on a reused engine, after many programs
// had been mapped, run and unmapped on it. Until that is understood every program gets a fresh
// engine; the reset below still runs, and raising this to 1 (a scan ends one emulator before it
// makes the next) brings reuse back.
constexpr size_t kSparesPerMode = 0;

// Engines reset and kept for the next program this thread loads. An emulator that outlives
// the list (one held by a static object, ended after the thread's own objects) closes its
// engine instead: the flag, trivially destructible, stays readable to the end.
thread_local bool spareEnginesGone = false;
struct SpareEngines {
    std::vector<std::unique_ptr<X86Cpu>> engines;
    ~SpareEngines() { spareEnginesGone = true; }
};
thread_local SpareEngines spares;
}  // namespace

void X86Cpu::BufferFree::operator()(uint8_t* p) const { ::munmap(p, kMaxReusedBytes); }

std::unique_ptr<X86Cpu> X86Cpu::open(CpuMode mode) {
    for (auto it = spares.engines.begin(); !spareEnginesGone && it != spares.engines.end(); ++it) {
        if ((*it)->mode_ != mode) continue;
        std::unique_ptr<X86Cpu> cpu = std::move(*it);
        spares.engines.erase(it);
        return cpu;
    }
    uc_engine* uc = nullptr;
    if (uc_open(UC_ARCH_X86, mode == CpuMode::Real16 ? UC_MODE_16 : UC_MODE_32, &uc) != UC_ERR_OK) return nullptr;
    std::unique_ptr<X86Cpu> cpu(new X86Cpu(uc, mode));
    // The hooks go in before anything is translated, so that they see every instruction.
    uc_hook code, intr, write;
    if (uc_hook_add(uc, &code, UC_HOOK_CODE, reinterpret_cast<void*>(&X86Cpu::codeHook), cpu.get(), 1, 0) ||
        uc_hook_add(uc, &intr, UC_HOOK_INTR, reinterpret_cast<void*>(&X86Cpu::interruptHook), cpu.get(), 1, 0) ||
        uc_hook_add(uc, &write, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&X86Cpu::writeHook), cpu.get(), 1, 0))
        return nullptr;
    if (uc_context_alloc(uc, &cpu->fresh_) != UC_ERR_OK || uc_context_save(uc, cpu->fresh_) != UC_ERR_OK)
        return nullptr;
    return cpu;
}

void X86Cpu::release(std::unique_ptr<X86Cpu> cpu) {
    if (!cpu || spareEnginesGone) return;
    std::vector<std::unique_ptr<X86Cpu>>& engines = spares.engines;
    const auto sameMode = std::count_if(engines.begin(), engines.end(),
                                        [&](const std::unique_ptr<X86Cpu>& spare) { return spare->mode_ == cpu->mode_; });
    // Only an engine that will be kept is worth resetting; the others just close.
    if (size_t(sameMode) < kSparesPerMode && cpu->reset()) engines.push_back(std::move(cpu));
}

bool X86Cpu::reset() {
    uc_mem_region* regions = nullptr;
    uint32_t count = 0;
    if (uc_mem_regions(uc_, &regions, &count) != UC_ERR_OK) return false;
    bool ok = true;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t size = regions[i].end - regions[i].begin + 1;
        if (translated_) uc_ctl_remove_cache(uc_, regions[i].begin, regions[i].end + 1);
        ok = uc_mem_unmap(uc_, regions[i].begin, size) == UC_ERR_OK && ok;
    }
    uc_free(regions);
    bufferUsed_ = 0;
    observer_ = nullptr;
    translated_ = false;  // nothing translated is left: every region's code was removed above
    return ok && uc_context_restore(uc_, fresh_) == UC_ERR_OK;
}

X86Cpu::X86Cpu(uc_struct* uc, CpuMode mode) : uc_(uc), mode_(mode) {}

X86Cpu::~X86Cpu() {
    if (fresh_) uc_context_free(fresh_);
    uc_close(uc_);
}

bool X86Cpu::map(uint64_t address, uint64_t size) {
    return size && uc_mem_map(uc_, address, size, UC_PROT_ALL) == UC_ERR_OK;
}

bool X86Cpu::mapReused(uint64_t address, uint64_t size, uint8_t** memory) {
    if (memory) *memory = nullptr;
    if (size == 0 || size % kPage || size > kMaxReusedBytes - bufferUsed_) return map(address, size);
    if (!buffer_) {
        // Reserved once; pages become resident as programs use them and stay so.
        void* p = ::mmap(nullptr, kMaxReusedBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                         -1, 0);
        if (p == MAP_FAILED) return map(address, size);
        buffer_.reset(static_cast<uint8_t*>(p));
    }
    uint8_t* backing = buffer_.get() + bufferUsed_;
    if (uc_mem_map_ptr(uc_, address, size, UC_PROT_ALL, backing) != UC_ERR_OK) return false;
    if (memory)
        *memory = backing;
    else
        std::memset(backing, 0, size);
    bufferUsed_ += size;
    return true;
}

void X86Cpu::unmap(uint64_t address, uint64_t size) {
    if (translated_) uc_ctl_remove_cache(uc_, address, address + size);
    uc_mem_unmap(uc_, address, size);
}

bool X86Cpu::isMapped(uint64_t address) const {
    uint8_t b;
    return uc_mem_read(uc_, address, &b, 1) == UC_ERR_OK;
}

uint64_t X86Cpu::mappedRun(uint64_t address, uint64_t limit) const {
    uc_mem_region* regions = nullptr;
    uint32_t count = 0;
    if (uc_mem_regions(uc_, &regions, &count) != UC_ERR_OK) return 0;
    uint64_t end = address;
    for (bool grew = true; grew && end - address < limit;) {
        grew = false;
        for (uint32_t i = 0; i < count; ++i) {
            if (regions[i].begin <= end && end <= regions[i].end) {
                end = regions[i].end + 1;
                grew = true;
                break;
            }
        }
    }
    uc_free(regions);
    return std::min(end - address, limit);
}

uint32_t X86Cpu::read(uint64_t address, void* buffer, uint32_t length) const {
    if (uc_mem_read(uc_, address, buffer, length) == UC_ERR_OK) return length;
    // Some of the range is unmapped: copy page by page up to the first gap.
    uint32_t done = 0;
    while (done < length) {
        uint64_t at = address + done;
        uint32_t chunk = uint32_t(std::min<uint64_t>(length - done, kPage - (at % kPage)));
        if (uc_mem_read(uc_, at, static_cast<uint8_t*>(buffer) + done, chunk) != UC_ERR_OK) break;
        done += chunk;
    }
    return done;
}

uint32_t X86Cpu::write(uint64_t address, const void* buffer, uint32_t length) {
    uint32_t done = 0;
    if (uc_mem_write(uc_, address, buffer, length) == UC_ERR_OK) {
        done = length;
    } else {
        while (done < length) {
            uint64_t at = address + done;
            uint32_t chunk = uint32_t(std::min<uint64_t>(length - done, kPage - (at % kPage)));
            if (uc_mem_write(uc_, at, static_cast<const uint8_t*>(buffer) + done, chunk) != UC_ERR_OK) break;
            done += chunk;
        }
    }
    // Code already translated from these bytes would otherwise keep running in its old form.
    if (done && translated_) uc_ctl_remove_cache(uc_, address, address + done);
    return done;
}

uint32_t X86Cpu::reg(int ucRegister) const {
    uint64_t value = 0;  // wide enough for any register Unicorn writes here
    uc_reg_read(uc_, ucRegister, &value);
    switch (ucRegister) {
    case UC_X86_REG_CS: case UC_X86_REG_DS: case UC_X86_REG_ES: case UC_X86_REG_SS:
    case UC_X86_REG_FS: case UC_X86_REG_GS: case UC_X86_REG_IP:
        return uint32_t(value & 0xFFFF);
    default:
        return uint32_t(value);
    }
}

void X86Cpu::setReg(int ucRegister, uint32_t value) {
    uint64_t wide = value;
    uc_reg_write(uc_, ucRegister, &wide);
}

uint64_t X86Cpu::linearIp() const {
    if (realMode()) return uint64_t(reg(UC_X86_REG_CS)) * 16 + reg(UC_X86_REG_IP);
    return reg(UC_X86_REG_EIP);
}

void X86Cpu::setGdt(uint64_t base, uint32_t limit) {
    uc_x86_mmr gdtr{};
    gdtr.base = base;
    gdtr.limit = limit;
    uc_reg_write(uc_, UC_X86_REG_GDTR, &gdtr);
}

CpuExit X86Cpu::run(uint64_t begin, CpuObserver* observer) {
    observer_ = observer;
    translated_ = true;
    stoppedByHook_ = false;
    interruptStop_ = false;
    codeWritten_ = replayed_ = false;
    lastAddress_ = ~uint64_t(0);
    uc_err err = uc_emu_start(uc_, begin, ~uint64_t(0), 0, 0);
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
    uc_emu_stop(uc_);
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
        uc_emu_stop(cpu->uc_);
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
