// The host's x86 emulator for one request over one file object (IExecExport).
// File operations act on the file object's bytes at once (the same store its stream shows);
// the program image is loaded only when an operation first needs it, so creating one for a
// file no unit runs costs next to nothing, and the x86 engine itself opens only when code
// first runs (x86_cpu.h): reading the image and the registers of a loaded program needs none.
//
// Loading (see program_loader.h): MZ signature -> PE32 or DOS MZ, anything else -> COM.
// Emulated memory is a snapshot of the file taken at load / Restart: later file writes do
// not reach memory before the next Restart, and memory writes reach the file only through
// CommitImage. Real-mode addresses are linear (segment * 16 + offset); GetIP / SetIP use
// the 16-bit IP within CS. PE addresses are flat; GetIP is EIP.
//
// Interrupts: in real mode an INT (or a divide error) whose vector the program changed is
// delivered through that vector as the CPU would (FLAGS, CS, IP pushed); through the
// vectors as loaded, INTs reach the host's DOS services (dos_services.h) and a divide error
// is a fault. Protected-mode INTs do nothing. Imports of a PE are stubs (program_loader.h).
//
// Run control, the one definition every caller is served by:
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
//   Restart restore kDefaultStepLimit.
// Request bounds (engine_request.h): every instruction also counts against the engine request
//   under way on the thread (the host's scan of one file, or one kill), or outside any request
//   against the emulator's own, which lasts its whole life (Restart does not renew it). When the
//   request's instruction budget is spent or its watchdog fires, the run under way ends before
//   the next instruction and every later run at once, as at the step limit (status 1). The
//   watchdog voids the request's answer; the host reports the file as an error.
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
//   Writes past the end extend the file (zero-filling a gap) up to kMaxFileGrowth; a write
//   that would pass it writes what fits. SetFileSize truncates or extends.
//   PatchFile writes only inside the file. FillFile and CutFile clip at the end of file;
//   a zero-length cut succeeds. MoveFileData(dst, src, length, flag): overlap-safe move of
//   the bytes present after src; flag 0 keeps the size (grows only to hold dst + length),
//   flag 1 truncates to dst + length afterwards. DeleteFile marks the file deleted (as the
//   stream's Remove). Search: first occurrence lying wholly inside [start, start + length)
//   clipped to the file (0) or to contiguous mapped memory (1); start + length past 4 GB
//   means "to the end". GetFileSize: all ones above 4 GB - 2.
#pragma once

#include <chrono>
#include <memory>

#include "host/qxbase/file_object.h"
#include "sdk/exec_export.h"

namespace host {

class Emulator : public IExecExport {
public:
    static constexpr uint32_t kDefaultStepLimit = 10'000'000;
    static constexpr uint32_t kMaxFileGrowth = 256u << 20;  // largest size a write may grow a file to

    // Never null. The emulator keeps a reference to the file for its lifetime.
    static std::unique_ptr<Emulator> create(FileObject* file);
    virtual ~Emulator() = default;
    // Replaces the watchdog's CPU-time budget of the emulator's own request, which bounds its runs
    // outside any engine request (tests; measured on the thread that created the emulator).
    virtual void setCpuBudget(std::chrono::milliseconds budget) = 0;
};

// Stop statuses and condition kinds (see above; the same numbers as sdk/exec_export.h names).
namespace emu {
constexpr uint32_t STATUS_NONE = qe::EXEC_STATUS_NONE, STATUS_STEP_LIMIT = qe::EXEC_STATUS_STEP_LIMIT,
                   STATUS_FAULT = qe::EXEC_STATUS_FAULT, STATUS_INTERRUPT = qe::EXEC_STATUS_INTERRUPT,
                   STATUS_ENDED = qe::EXEC_STATUS_ENDED, STATUS_UNMODELLED_API = qe::EXEC_STATUS_UNMODELLED_API,
                   STATUS_EVENT = qe::EXEC_STATUS_EVENT, STATUS_CONTAINMENT = qe::EXEC_STATUS_CONTAINMENT;
constexpr uint32_t STOP_RETURN_TO_ENTRY = qe::EXEC_STOP_RETURN_TO_ENTRY, STOP_EVENT_MASK = qe::EXEC_STOP_EVENT_MASK,
                   STOP_INTERRUPT_OR_FAR = qe::EXEC_STOP_INTERRUPT_OR_FAR, STOP_CONTAINMENT = qe::EXEC_STOP_CONTAINMENT;
}  // namespace emu

}  // namespace host
