#include "module/units/dos/sg_bomber.h"

#include "module/toolkit/run_checks.h"
#include "module/units/dos/dos_common.h"

using namespace remedy;
using namespace remedy::dos;

namespace {

struct RunContext {
    IExecExport* emulator;
    uint32_t target;  // 16-bit IP to stop at
};

// Reads the two bytes at the instruction about to run (CS:IP as a linear address).
bool bytesAtIp(IExecExport& emu, uint8_t (&bytes)[2]) {
    const uint32_t ip = emu.GetIP();
    if (ip == 0xFFFFFFFFu) return false;
    const uint32_t linear = emu.GetSegment(qe::EXEC_SEG_CS) * 16 + (ip & 0xFFFF);
    return readMemory(emu, linear, bytes, 2);
}

bool atInt21(IExecExport& emu) {
    uint8_t bytes[2] = {};
    return bytesAtIp(emu, bytes) && bytes[0] == 0xCD && bytes[1] == 0x21;
}

// Runs on while the next instruction is not INT 21h.
int untilInt21(const void* context) {
    return atInt21(*static_cast<const RunContext*>(context)->emulator) ? 0 : 1;
}

// Runs on while the 16-bit IP has not reached the target.
int untilTarget(const void* context) {
    const auto* run = static_cast<const RunContext*>(context);
    return ((run->emulator->GetIP() & 0xFFFF) + 54 == run->target + 54) ? 0 : 1;
}

// The run must have been ended by its condition (RunWhile answers non-zero then), and the
// condition must hold where the emulator stands.
bool runUntil(IExecExport& emu, QERunWhileCallback condition, const RunContext& context) {
    return emu.RunWhile(condition, &context) != 0 && condition(&context) == 0;
}

}  // namespace

// The virus's start-up code asks DOS something first; 14 bytes on from that INT 21h starts its
// decryptor, which ends by jumping into the decrypted body: that body is where the virus begins
// in the file. Three instructions into the body, the next 25 bytes put the host's first bytes
// back at the entry. The emulated image, now holding the host's own head, is written back to the
// file and the file is cut where the body began.
uint32_t CScanSG_Bomber1305::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    if (!emu || !emu->Restart()) return KILL_FAILED;
    // The virus has the host back after a few thousand instructions; a program that is not
    // this virus is not run for longer than this.
    constexpr uint32_t kRunBudget = 200000;
    emu->SetStepLimit(kRunBudget);

    RunContext context{emu, 0};
    if (!runUntil(*emu, untilInt21, context)) return endedShort(*emu, KILL_FAILED);
    emu->SetIP((emu->GetIP() + 14) & 0xFFFF);
    emu->ClearStopConditions();
    if (!emu->RunTo(qe::EXEC_RUN_TO_BOUNDARY, 0)) return endedShort(*emu, KILL_FAILED);
    uint32_t bodyAddress = 0;
    if (!currentAddress(*emu, &bodyAddress)) return KILL_FAILED;

    if (!emu->Step(3)) return endedShort(*emu, KILL_FAILED);
    const uint32_t ip = emu->GetIP();
    if (ip == 0xFFFFFFFFu) return KILL_FAILED;
    context.target = (ip + 25) & 0xFFFF;
    if (!runUntil(*emu, untilTarget, context)) return endedShort(*emu, KILL_FAILED);

    // The cut must leave a host and remove something; anything else means the emulation did
    // not go the way this virus goes, and writing the image back would only spoil the file.
    uint32_t bodyOffset = 0, size = 0;
    if (!fileOffsetOf(*emu, bodyAddress, &bodyOffset) || !fileSize(*emu, &size)) return KILL_FAILED;
    if (bodyOffset == 0 || bodyOffset >= size) return KILL_FAILED;
    if (!emu->CommitImage()) return KILL_FAILED;
    return truncateFile(*emu, bodyOffset) ? KILL_REPAIRED : KILL_FAILED;
}
