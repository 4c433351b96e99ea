// One x86 machine for the host's emulators: memory the host owns, the registers, and a
// Unicorn engine that is opened only when code first runs.
//
// Most programs are loaded only to be looked at (the entry point, a few bytes of a section),
// so loading writes into host memory and records the register writes; the Unicorn engine is
// opened the first time something needs it (a run, or a register the recorded writes do not
// answer). It then gets that memory as its own and the recorded writes in their order, so a
// segment load sees the descriptor table as memory holds it at that moment. Until then an
// X86Cpu costs a few allocations and no engine.
//
// Memory for mapReused and mapImage comes from a buffer each thread keeps between programs, so
// a load copies into warm pages; other regions are fresh zero pages. Those two regions are
// filled a page at a time when first touched, and the engine gets an image a chunk at a time
// (kEngineChunk) when the program first reaches into a chunk: a look at a program's entry, or
// a run of a few thousand instructions, copies a few pages of its image, not every section.
// Engines are not reused: with memory warm and engines opened only for code that runs, a
// fresh engine costs little, and a reset engine carries Unicorn's translation state over.
//
// Unicorn 2.0.1 is only predictable when all stop logic lives in one permanent code hook
// (installed before anything runs) and uc_emu_start is never given a count or an end
// address. The observer decides, before each instruction, whether the run goes on; memory
// writes and interrupts are reported to it as they happen. In real mode every address is
// linear (segment * 16 + offset).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

struct uc_struct;

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

// Bytes an image region shows from `offset` on (relative to the region's start).
struct ImagePiece {
    uint64_t offset;
    const uint8_t* bytes;
    uint64_t length;
};

// How a run of the engine ended, as far as Unicorn tells.
enum class CpuExit {
    Stopped,        // the observer stopped it (or an interrupt handler did)
    Halted,         // HLT or the engine ended without being asked
    Fault,          // the last instruction begun faulted (invalid, unmapped data, bad segment),
                    // or no engine could be opened
    FetchFault,     // a transfer reached unmapped memory: the transfer itself completed
};

class X86Cpu {
public:
    // A machine with no memory and no engine yet; never null.
    static std::unique_ptr<X86Cpu> open(CpuMode mode);
    ~X86Cpu();
    X86Cpu(const X86Cpu&) = delete;
    X86Cpu& operator=(const X86Cpu&) = delete;

    CpuMode mode() const { return mode_; }
    bool realMode() const { return mode_ == CpuMode::Real16; }

    // Maps zero-filled read/write/execute memory. False when either is not page-aligned, the
    // size is 0, the range leaves the 32-bit space or overlaps a mapped region, or memory
    // runs out.
    bool map(uint64_t address, uint64_t size);
    // The same, backed by the thread's warm buffer while it has room (kMaxReusedBytes for all
    // such regions of one machine together), otherwise by fresh pages.
    bool mapReused(uint64_t address, uint64_t size);
    static constexpr uint64_t kMaxReusedBytes = 32u << 20;
    // As mapReused, for memory that reads as zeros with `pieces` copied over them in their
    // order (clipped to the region). Until fillAll or the engine's start the pieces' bytes
    // must stay valid and unchanged: pages not touched yet are filled from them.
    bool mapImage(uint64_t address, uint64_t size, std::vector<ImagePiece> pieces);
    // Fills every page not filled yet; the pieces' bytes are not needed any more.
    void fillAll();
    // How much of a lazily filled region the engine is given at once.
    static constexpr uint64_t kEngineChunk = 0x10000;
    // Unmaps the region mapped at exactly [address, address + size); anything else is ignored.
    void unmap(uint64_t address, uint64_t size);
    bool isMapped(uint64_t address) const;
    // Length of mapped memory that runs on without a gap from address (at most `limit`).
    uint64_t mappedRun(uint64_t address, uint64_t limit) const;
    // Copies the mapped prefix of [address, address + length); returns the bytes copied.
    uint32_t read(uint64_t address, void* buffer, uint32_t length) const;
    // Writes the mapped prefix and drops any translated code for it; returns the bytes written.
    uint32_t write(uint64_t address, const void* buffer, uint32_t length);

    // A register's value; segment registers and IP as 16 bits. Opens the engine when no
    // recorded write answers it (0 if none can be opened).
    uint32_t reg(int ucRegister) const;
    void setReg(int ucRegister, uint32_t value);
    // Current linear instruction address (outside a run).
    uint64_t linearIp() const;
    void setGdt(uint64_t base, uint32_t limit);

    // Opens the Unicorn engine now, if it is not open yet; false when Unicorn cannot.
    bool startEngine();
    bool engineStarted() const { return uc_ != nullptr; }
    // Unicorn engines this thread has opened so far.
    static uint64_t enginesOpenedOnThisThread();
    // Takes this thread's warm buffers, gives a thread some (its own are freed first), and
    // frees buffers taken: a scan slot that threads take in turn carries them along.
    static std::vector<uint8_t*> takeWarmBuffers();
    static void keepWarmBuffers(std::vector<uint8_t*> buffers);
    static void freeWarmBuffers(std::vector<uint8_t*>& buffers);

    // Runs from `begin` (linear) until the observer or an interrupt handler stops it.
    CpuExit run(uint64_t begin, CpuObserver* observer);
    // Inside a hook: end the current run after the hook returns.
    void requestStop();

private:
    // Pages of a region that have not been filled yet, and what fills them.
    struct PendingFill {
        std::vector<ImagePiece> pieces;
        std::vector<bool> filled;  // by page
        uint64_t pagesLeft;
        bool zeroed;  // fresh pages: only the pieces need copying
    };
    struct Region {
        uint64_t address, size;
        uint8_t* memory;
        bool warm;  // part of the warm buffer, not pages of its own
        mutable std::unique_ptr<PendingFill> pending;  // null once every page holds its bytes
        // By chunk, whether the engine has it; empty when the engine has the region whole (or
        // is not open yet).
        mutable std::vector<bool> engineChunks;
    };
    // A register write (or the descriptor-table base and limit) made before the engine opened.
    struct RecordedWrite {
        int reg;
        uint64_t value;
        uint32_t limit;
    };

    explicit X86Cpu(CpuMode mode);
    bool addRegion(Region region);
    // The one way regions are made: warm memory when asked for and there is room, else fresh pages.
    bool place(uint64_t address, uint64_t size, std::vector<ImagePiece> pieces, bool preferWarm);
    const Region* regionAt(uint64_t address) const;
    // Calls visit(region, offset in it, length, bytes before) for each piece of the mapped
    // prefix of [address, address + length), until visit answers false; the bytes visited.
    template <class Visit>
    uint32_t walkMapped(uint64_t address, uint32_t length, Visit visit) const;
    // Makes [offset, offset + length) of a region hold its bytes.
    static void fill(const Region& region, uint64_t offset, uint64_t length);
    // Gives the engine, filled, every chunk of a lazily handed-over region that [address,
    // address + length) touches; false when none was missing.
    bool handOver(const Region& region, uint64_t offset, uint64_t length);
    static bool unmappedHook(uc_struct* uc, int type, uint64_t address, int size, int64_t value, void* self);
    static void codeHook(uc_struct* uc, uint64_t address, uint32_t size, void* self);
    static void interruptHook(uc_struct* uc, uint32_t number, void* self);
    static bool writeHook(uc_struct* uc, int type, uint64_t address, int size, int64_t value, void* self);

    uc_struct* uc_ = nullptr;
    bool engineFailed_ = false;
    CpuMode mode_;
    std::vector<Region> regions_;  // sorted by address, never overlapping
    std::vector<RecordedWrite> recorded_;  // in order; one entry a register, the latest write
    uint8_t* warmBuffer_ = nullptr;  // taken from the thread's spare on the first mapReused
    uint64_t warmUsed_ = 0;
    CpuObserver* observer_ = nullptr;
    uint64_t lastAddress_ = 0;
    bool stoppedByHook_ = false;
    bool interruptStop_ = false;
    bool codeWritten_ = false;  // a store near the instruction the code hook saw last
    bool replayed_ = false;
    bool translated_ = false;  // whether any code has been translated yet
};

}  // namespace host
