#include "module/units/dos/badboy.h"

#include <cstdint>

#include "module/units/dos/dos_common.h"

using namespace remedy;
using namespace remedy::dos;

// The 1000-byte virus sits at the start of the file. A host of 1000 bytes or more had its first
// 1000 bytes moved to the end of the file; a shorter host follows the virus whole.
uint32_t CScanBadboy_1000COM::Kill(STScanInfo*, tagScanExParam* param) {
    constexpr uint32_t kVirusLength = 1000;
    IExecExport* emu = emulatorOf(param);
    uint32_t size = 0;
    uint8_t head[kVirusLength] = {};
    if (!emu || !fileSize(*emu, &size) || size > INT32_MAX) return KILL_FAILED;

    const uint32_t hostLength = size > kVirusLength ? size - kVirusLength : 0;
    // Where the host's head lies and how long it is: the last 1000 bytes, or everything after
    // the virus. A file no longer than the virus has no host to give back.
    const uint32_t headOffset = size > 1999 ? size - kVirusLength : kVirusLength;
    const uint32_t headLength = size > 1999 ? kVirusLength : hostLength;
    if (headLength == 0 || !readFile(*emu, head, headOffset, headLength)) return KILL_FAILED;
    return restoreAndTruncate(*emu, std::span<const uint8_t>(head, headLength), 0, hostLength) ? KILL_REPAIRED
                                                                                               : KILL_FAILED;
}
