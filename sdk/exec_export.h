// The host's x86 emulator for the file of one request, plus access to the real file.
// Not reference-counted: the host owns it for the request. Addresses and offsets are
// 32-bit; "bool" results are exactly 1 for success and 0 for failure.
//
// Run control, the one definition every caller is served by (a host may add bounds of its own:
// a run they end reads as a step limit, status 1):
//
// Stop status (GetStopStatus; every Step / RunTo / RunWhile first resets it to 0)
//   0 none, or the run ended as asked (count reached, RunWhile callback, RunTo target)
//   1 step limit reached                     2 fault (invalid instruction, unmapped memory,
//   3 condition: software interrupt            divide error, bad segment)
//   4 program ended (INT 20h/27h, INT 21h 00h/31h/4Ch, HLT, ExitProcess or a return from
//     the PE entry)                          5 call into an import the host does not model
//   7 condition: address or memory event     8 condition: containment left
//   ClearStopConditions resets 3, 7 and 8 to 0.
//
// Stop conditions (SetStopCondition {kind, p1, p2, p3}; only the words a kind names are
// read; arming replaces an armed condition of the same kind; 1 armed, 0 unknown kind).
// A condition raised by an instruction ends the call before the next instruction; an
// arrival condition ends it before the arrived-at instruction. Conditions stay armed
// until ClearStopConditions or Restart.
//   4  return to entry: the IP arrives at load entry + p3 after at least one instruction
//      executed since arming (p1, p2 ignored) -> 7
//   7  event mask: p1 != 0 software interrupt -> 3; p2 != 0 write into the loaded image
//      -> 7; p3 != 0 the IP arrives at memory written since arming -> 7
//   14 interrupt / far transfer notice: INT n (any n when p2 = 0, else n = p2) -> 3;
//      JMP/CALL far, RETF, IRET -> 7 (p1, p3 ignored). The interrupt is serviced as usual.
//   15 containment: the IP leaves [p1, p1 + p2), or with p1 = p2 = 0 the loaded image and
//      the AllocBlock blocks -> 8
//
// Step(n): up to n instructions; 1 iff all n executed (n = 0: 1).
// RunTo(kind, count):
//   0  absolute: stand after `count` instructions since load / Restart. When more have run,
//      reload first (conditions and step limit kept). 1 when reached.
//   1  next code boundary: with nothing executed and no SetStopCondition /
//      ClearStopConditions since load, 1 at once (the entry is the first boundary);
//      otherwise run until an armed condition fires or, with none armed, until the IP
//      arrives at memory written during this run, passing `count` such arrivals. 1 for
//      either; 0 for step limit, fault or program end.
//   other kinds: 0, nothing run.
// RunWhile(callback, context): callback before each instruction (the first included);
//   0 ends the run. Result 1 when the callback ended it, 0 when anything else did. The
//   callback may read state (GetIP, GetRegister, GetSegment, ReadMemory, ...); run control
//   from inside it fails.
// SetStepLimit(n): a budget of n instructions from now, shared by all later runs; load /
//   Restart restore the host's default (10,000,000 in the reference host).
// Restart: reload from the current file bytes; registers, memory, counters, status,
//   conditions, blocks and step limit back to the load state. 1 when the file loads.
// GetImageAddress(mode, selector, out1, out2, 0):
//   mode 0: out1 = load entry; out2 = the address reached by following `selector`
//     unconditional jumps or calls from it (E9, EB, E8, EA; PE also FF 25), decoded from
//     memory; selector 0: out2 = out1; 0 when a hop cannot be followed or selector > 16.
//   mode 1, selector 0: out1 = current instruction (linear), out2 = its file offset or all
//     ones; 0 without a program. Other modes / selectors: 0.
// GetEntryAddress(0): the load entry. GetImageBase: PE ImageBase, COM the address of file
//   offset 0, MZ the load module; 0 without a program.
// GetStopInfo (slot 14): fills {status, linear IP, kind of the condition that fired or 0,
//   address of the event (interrupt number for interrupts), instructions since load} and
//   returns the status.
// CommitImage (slot 42): writes the loaded image back over the file bytes it came from
//   (loader changes - MZ relocations, bound imports - undone); the size never changes.
// AllocBlock(rec[5], size): zeroed memory of size rounded to 4 KiB in the block arena;
//   rec = {address, 7, block id, size allocated, 0}; 0 for size 0 or past 64 MiB in all.
//   ResetMemoryBlocks(0) frees every block, (id) that block.
//
// File operations (results exactly 1/0 where boolean):
//   ReadFile / WriteFile return the count and leave the sequential position at offset +
//   count; ReadFileSeq / WriteFileSeq use and advance it (1 iff the whole length moved);
//   SetFilePos(offset, origin 0 start / 1 current / 2 end).
//   Writes past the end extend the file (zero-filling a gap) up to the host's growth limit; a
//   write that would pass it writes what fits. SetFileSize truncates or extends.
//   PatchFile writes only inside the file. FillFile and CutFile clip at the end of file;
//   a zero-length cut succeeds. MoveFileData(dst, src, length, flag): overlap-safe move of
//   the bytes present after src; flag 0 keeps the size (grows only to hold dst + length),
//   flag 1 truncates to dst + length afterwards. DeleteFile marks the file deleted (as the
//   stream's Remove). Search: first occurrence lying wholly inside [start, start + length)
//   clipped to the file (0) or to contiguous mapped memory (1); start + length past 4 GB
//   means "to the end". GetFileSize: all ones above 4 GB - 2.
#pragma once

#include <cstdint>

#define QE_EXEC_UNUSED_SLOT(n) \
    virtual uint32_t Unused##n() { return 0; }

// Callback of RunWhile: the run goes on while it answers non-zero.
using QERunWhileCallback = int (*)(const void* context);

struct IExecExport {
    virtual uint32_t GetStopStatus() = 0;                                  // 0
    virtual uint32_t GetEntryAddress(uint32_t selector, uint32_t* out) = 0;  // 1
    virtual uint32_t Restart() = 0;                                        // 2
    virtual void ResetMemoryBlocks(uint32_t blockId) = 0;                  // 3
    virtual void SetStepLimit(uint32_t maxInstructions) = 0;               // 4
    virtual uint32_t SetStopCondition(const uint32_t* record) = 0;         // 5: {kind, p1, p2, p3}
    virtual uint32_t ClearStopConditions() = 0;                            // 6
    QE_EXEC_UNUSED_SLOT(7)
    QE_EXEC_UNUSED_SLOT(8)
    QE_EXEC_UNUSED_SLOT(9)
    virtual uint32_t GetImageBase() = 0;                                   // 10
    virtual uint32_t Step(uint32_t count) = 0;                             // 11
    virtual uint32_t RunWhile(QERunWhileCallback callback, const void* context) = 0;  // 12
    virtual uint32_t RunTo(uint32_t kind, uint32_t count) = 0;             // 13
    virtual uint32_t GetStopInfo(uint32_t* record) = 0;                    // 14: record[5]
    virtual uint32_t GetImageAddress(uint32_t mode, uint32_t selector, uint32_t* out1, uint32_t* out2,
                                     uint32_t reserved) = 0;               // 15
    virtual uint32_t ReadMemory(uint32_t address, void* buffer, uint32_t length) = 0;        // 16
    virtual uint32_t ReadMemoryBlock(uint32_t address, void* buffer, uint32_t length) = 0;   // 17
    virtual uint32_t WriteMemory(uint32_t address, const void* buffer, uint32_t length) = 0; // 18
    virtual uint32_t GetRegister(uint32_t index) = 0;                      // 19: EAX 0 ... EDI 7
    virtual void SetRegister(uint32_t index, uint32_t value) = 0;          // 20
    virtual uint32_t GetIP() = 0;                                          // 21: all ones = none
    virtual void SetIP(uint32_t address) = 0;                              // 22
    virtual uint32_t GetFlags() = 0;                                       // 23
    virtual void SetFlags(uint32_t flags) = 0;                             // 24
    virtual uint32_t GetSegment(uint32_t index) = 0;                       // 25: ES 0, CS 1, SS 2, DS 3
    QE_EXEC_UNUSED_SLOT(26)
    virtual uint32_t ReadFileSeq(void* buffer, uint32_t length) = 0;                   // 27
    virtual uint32_t ReadFile(void* buffer, uint32_t offset, uint32_t length) = 0;     // 28: bytes read
    virtual uint32_t WriteFileSeq(const void* buffer, uint32_t length) = 0;            // 29
    virtual uint32_t WriteFile(const void* buffer, uint32_t offset, uint32_t length) = 0;  // 30: bytes written
    virtual void SetFilePos(uint32_t offset, uint32_t origin) = 0;                     // 31
    QE_EXEC_UNUSED_SLOT(32)
    virtual uint32_t GetFileSize() = 0;                                    // 33: all ones = failure
    virtual uint32_t SetFileSize(uint32_t size) = 0;                       // 34
    virtual uint32_t DeleteFile() = 0;                                     // 35
    virtual uint32_t MoveFileData(uint32_t dst, uint32_t src, uint32_t length, uint32_t flag) = 0;  // 36
    QE_EXEC_UNUSED_SLOT(37)
    QE_EXEC_UNUSED_SLOT(38)
    virtual uint32_t PatchFile(uint32_t offset, const void* buffer, uint32_t length) = 0;  // 39
    virtual uint32_t FillFile(uint32_t offset, uint32_t byte, uint32_t length) = 0;        // 40
    virtual uint32_t CutFile(uint32_t offset, uint32_t length) = 0;                       // 41
    virtual uint32_t CommitImage() = 0;                                    // 42: memory image back to the file
    virtual uint32_t Search(uint32_t start, uint32_t length, const void* pattern, uint32_t patternLength,
                            uint32_t* found, uint32_t inMemory) = 0;       // 43
    virtual uint32_t AddressToFileOffset(uint32_t address, uint32_t* offset) = 0;  // 44
    virtual uint32_t AllocBlock(uint32_t* record, uint32_t size) = 0;      // 45: record[5]
};

// Run control: how a run ended and what a caller may conclude from it.
//
//   status (GetStopStatus)          the run ended because                 the caller may
//   0 EXEC_STATUS_NONE              it did what was asked (count reached,  read registers and memory
//                                   RunWhile callback, RunTo target)       as the program left them there
//   1 EXEC_STATUS_STEP_LIMIT        the step limit (SetStepLimit) or the   conclude nothing about the
//                                   host's own instruction budget ran out  program: the point waited for
//                                   - or the host stopped a run that       was not reached. A scan finds
//                                   took too long                          nothing; a kill fails
//   2 EXEC_STATUS_FAULT             an instruction could not execute       conclude only what a fault means
//                                                                          for the virus it looks for
//   3 EXEC_STATUS_INTERRUPT         an armed interrupt condition fired     read state at the interrupt
//   4 EXEC_STATUS_ENDED             the program ended                      read the final state
//   5 EXEC_STATUS_UNMODELLED_API    a call into an import the host         conclude nothing further
//                                   does not model
//   7 EXEC_STATUS_EVENT             an armed address / memory / far-       read state at the event; which
//                                   transfer / return-to-entry condition   condition fired is in GetStopInfo
//   8 EXEC_STATUS_CONTAINMENT       the IP left the containment range      read state where it left
//
// A caller reads results only from a run that ended the way it asked: the status it waits for,
// and for conditions the kind in GetStopInfo. RunTo and Step answer 1 only when the run ended
// as asked; RunWhile answers 1 only when the callback ended it.
namespace qe {
constexpr uint32_t EXEC_STATUS_NONE = 0, EXEC_STATUS_STEP_LIMIT = 1, EXEC_STATUS_FAULT = 2,
                   EXEC_STATUS_INTERRUPT = 3, EXEC_STATUS_ENDED = 4, EXEC_STATUS_UNMODELLED_API = 5,
                   EXEC_STATUS_EVENT = 7, EXEC_STATUS_CONTAINMENT = 8;
// Stop-condition kinds of SetStopCondition {kind, p1, p2, p3} and GetStopInfo's record[2].
constexpr uint32_t EXEC_STOP_RETURN_TO_ENTRY = 4, EXEC_STOP_EVENT_MASK = 7, EXEC_STOP_INTERRUPT_OR_FAR = 14,
                   EXEC_STOP_CONTAINMENT = 15;
// RunTo kinds.
constexpr uint32_t EXEC_RUN_TO_ABSOLUTE = 0, EXEC_RUN_TO_BOUNDARY = 1;
constexpr uint32_t EXEC_REG_EAX = 0, EXEC_REG_ECX = 1, EXEC_REG_EDX = 2, EXEC_REG_EBX = 3, EXEC_REG_ESP = 4,
                   EXEC_REG_EBP = 5, EXEC_REG_ESI = 6, EXEC_REG_EDI = 7;
constexpr uint32_t EXEC_SEG_ES = 0, EXEC_SEG_CS = 1, EXEC_SEG_SS = 2, EXEC_SEG_DS = 3;
}  // namespace qe
