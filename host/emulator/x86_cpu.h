// One Unicorn engine with the hooks every run of the host's emulators goes through.
//
// Unicorn 2.0.1 is only predictable when all stop logic lives in one permanent code hook
// (installed before anything runs) and uc_emu_start is never given a count or an end
// address. The observer decides, before each instruction, whether the run goes on; memory
// writes and interrupts are reported to it as they happen. In real mode every address is
// linear (segment * 16 + offset).
//
// Opening an engine and faulting in fresh memory cost far more than loading a program, so
// engines are reused: X86Cpu::release hands one back to its thread's spare list with all
// memory unmapped (its translated code removed) and the registers of a fresh engine, and
// the next open for that mode on that thread takes it. mapReused backs a region with a
// buffer the engine keeps between programs, so a reload copies into warm memory.
#pragma once

#include <cstdint>
#include <memory>

struct uc_struct;
struct uc_context;

namespace host {

class CpuObserver {
public:
    // Before the instruction at `address` (linear) of `size` bytes executes; false stops the
    // run there, the instruction not executed.
    virtual bool beforeInstruction(uint64_t address, uint32_t size) = 0;
    // A software interrupt or an exception. `software` is false for exceptions (a divide
    // error stands on the faulting instruction). Return false to end the run.
    virtual bool onInterrupt(uint32_t number, bool software) = 0;
    // A guest store of `size` bytes at `address` (already decided; the store happens).
    virtual void onWrite(uint64_t address, uint32_t size) = 0;

protected:
    ~CpuObserver() = default;
};

enum class CpuMode { Real16, Protected32 };

// How a run of the engine ended, as far as Unicorn tells.
enum class CpuExit {
    Stopped,        // the observer stopped it (or an interrupt handler did)
    Halted,         // HLT or the engine ended without being asked
    Fault,          // the last instruction begun faulted (invalid, unmapped data, bad segment)
    FetchFault,     // a transfer reached unmapped memory: the transfer itself completed
};

class X86Cpu {
public:
    // A spare engine of this thread, or a new one; null when Unicorn cannot open an engine.
    static std::unique_ptr<X86Cpu> open(CpuMode mode);
    // Resets the engine and keeps it as a spare of this thread (one a mode; others close).
    static void release(std::unique_ptr<X86Cpu> cpu);
    ~X86Cpu();
    X86Cpu(const X86Cpu&) = delete;
    X86Cpu& operator=(const X86Cpu&) = delete;

    CpuMode mode() const { return mode_; }
    bool realMode() const { return mode_ == CpuMode::Real16; }

    // Maps zero-filled read/write/execute memory; both page-aligned.
    bool map(uint64_t address, uint64_t size);
    // The same, backed by the engine's reusable buffer when it is small enough to keep
    // (kMaxReusedBytes for all such regions together), otherwise as map. With `memory`, a
    // buffer-backed region is left as the last program left it and *memory points at it: the
    // caller fills every byte itself (nothing is translated from it yet); *memory is null for
    // a region that map made, which is zero-filled.
    bool mapReused(uint64_t address, uint64_t size, uint8_t** memory = nullptr);
    static constexpr uint64_t kMaxReusedBytes = 32u << 20;
    void unmap(uint64_t address, uint64_t size);
    bool isMapped(uint64_t address) const;
    // Length of mapped memory that runs on without a gap from address (at most `limit`).
    uint64_t mappedRun(uint64_t address, uint64_t limit) const;
    // Copies the mapped prefix of [address, address + length); returns the bytes copied.
    uint32_t read(uint64_t address, void* buffer, uint32_t length) const;
    // Writes the mapped prefix and drops any translated code for it; returns the bytes written.
    uint32_t write(uint64_t address, const void* buffer, uint32_t length);

    uint32_t reg(int ucRegister) const;
    void setReg(int ucRegister, uint32_t value);
    // Current linear instruction address (outside a run).
    uint64_t linearIp() const;
    void setGdt(uint64_t base, uint32_t limit);

    // Runs from `begin` (linear) until the observer or an interrupt handler stops it.
    CpuExit run(uint64_t begin, CpuObserver* observer);
    // Inside a hook: end the current run after the hook returns.
    void requestStop();

private:
    X86Cpu(uc_struct* uc, CpuMode mode);
    // Unmaps everything (dropping its translated code) and restores the fresh registers.
    bool reset();
    static void codeHook(uc_struct* uc, uint64_t address, uint32_t size, void* self);
    static void interruptHook(uc_struct* uc, uint32_t number, void* self);
    static bool writeHook(uc_struct* uc, int type, uint64_t address, int size, int64_t value, void* self);

    uc_struct* uc_;
    CpuMode mode_;
    uc_context* fresh_ = nullptr;  // the registers as opened
    struct BufferFree {
        void operator()(uint8_t* p) const;
    };
    std::unique_ptr<uint8_t, BufferFree> buffer_;  // backs mapReused regions, kept between programs
    uint64_t bufferUsed_ = 0;
    CpuObserver* observer_ = nullptr;
    uint64_t lastAddress_ = 0;
    bool stoppedByHook_ = false;
    bool interruptStop_ = false;
    bool codeWritten_ = false;  // a store near the instruction the code hook saw last
    bool replayed_ = false;
    bool translated_ = false;  // whether any code has been translated yet
};

}  // namespace host
