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
// Run control follows the contract in sdk/exec_export.h. What this host adds:
//
// Request bounds (engine_request.h): every instruction also counts against the engine request
//   under way on the thread (the host's scan of one file, or one kill), or outside any request
//   against the emulator's own, which lasts its whole life (Restart does not renew it). When the
//   request's instruction budget is spent or its watchdog fires, the run under way ends before
//   the next instruction and every later run at once, as at the step limit (status 1). The
//   watchdog voids the request's answer; the host reports the file as an error.
//
// Limits of this host: AllocBlock hands out at most 64 MiB in all; writes past the end of the
// file grow it up to kMaxFileGrowth.
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
    // outside any engine request (tests; measured on the thread that first needs it).
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
