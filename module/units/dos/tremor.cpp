#include "module/units/dos/tremor.h"

#include "module/toolkit/byte_reader.h"
#include "module/units/dos/dos_common.h"

using namespace remedy;
using namespace remedy::dos;

// 759 bytes past the entry the virus keeps the host's SS and CS as distances below its own code
// segment (words 0 and 11), and SP and IP as they were (words 5 and 15).
//
// The distances are taken from the virus's code segment as the header gives it: the loaded CS
// less the paragraph the load module sits at, so the result does not depend on where the host
// loaded the program.
uint32_t CScanTremor::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    if (!emu) return KILL_FAILED;
    const uint16_t loadedCs = uint16_t(emu->GetSegment(qe::EXEC_SEG_CS));
    uint32_t entry = 0, virusEntry = 0, virusOffset = 0;
    uint16_t loadSegment = 0;
    uint8_t saved[32] = {};
    // Every answer below decides what is written into the header or where the file is cut, so
    // none is taken on trust.
    if (!entryAddress(*emu, &entry) || !emu->GetEntryAddress(0, &virusEntry)) return KILL_FAILED;
    if (!readMemory(*emu, virusEntry + 759, saved, sizeof saved) || !mzLoadSegment(*emu, &loadSegment))
        return KILL_FAILED;
    if (!fileOffsetOf(*emu, entry, &virusOffset) || virusOffset < kMzRegistersEnd) return KILL_FAILED;

    const uint16_t virusCs = uint16_t(loadedCs - loadSegment);
    const uint16_t ss = uint16_t(virusCs - loadLe16(saved + 0));
    const uint16_t cs = uint16_t(virusCs - loadLe16(saved + 11));
    if (!writeWord(*emu, kMzSsOffset, ss) || !writeFile(*emu, saved + 5, kMzSpOffset, 2) ||
        !writeFile(*emu, saved + 15, kMzIpOffset, 2) || !writeWord(*emu, kMzCsOffset, cs))
        return KILL_FAILED;
    return truncateFile(*emu, virusOffset) ? KILL_REPAIRED : KILL_FAILED;
}
