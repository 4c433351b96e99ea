#include "module/units/dos/buba.h"

#include "module/units/dos/dos_common.h"

using namespace remedy;
using namespace remedy::dos;

// The body at the entry keeps the host's SS at 910 and IP, CS at 923; bytes 910 to 927 are XORed
// with the key byte at 1320, and bytes 910, 923 and 925 once more with key + 1, + 2 and + 3.
uint32_t CScanBuba1537EXE::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    if (!emu) return KILL_FAILED;
    uint32_t entry = 0, virusOffset = 0;
    uint8_t body[1328] = {};
    if (!entryAddress(*emu, &entry) || !readMemory(*emu, entry, body, sizeof body)) return KILL_FAILED;
    const uint8_t key = body[1320];
    xorBytes(std::span<uint8_t>(body + 910, 18), key);
    body[910] ^= uint8_t(key + 1);
    body[923] ^= uint8_t(key + 2);
    body[925] ^= uint8_t(key + 3);
    if (!fileOffsetOf(*emu, entry, &virusOffset) || virusOffset < kMzRegistersEnd) return KILL_FAILED;
    if (!writeFile(*emu, body + 910, kMzSsOffset, 2) || !writeFile(*emu, body + 923, kMzIpOffset, 4))
        return KILL_FAILED;
    return truncateFile(*emu, virusOffset) ? KILL_REPAIRED : KILL_FAILED;
}
