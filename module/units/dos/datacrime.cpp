#include "module/units/dos/datacrime.h"

#include <bit>

#include "module/toolkit/byte_reader.h"
#include "module/units/dos/dos_common.h"

using namespace remedy;
using namespace remedy::dos;

// COM: the virus is the last 1514 bytes; its key byte is at +3 and the host's first 20 bytes at
// +159, each XORed with a key that starts as the key byte rotated left once and turns right by
// one bit per byte.
uint32_t CScanDataCrimeIICOM::Kill(STScanInfo*, tagScanExParam* param) {
    constexpr uint32_t kVirusLength = 1514;
    constexpr uint32_t kSavedLength = 20;
    IExecExport* emu = emulatorOf(param);
    if (!emu) return KILL_FAILED;

    uint32_t virusStart = 0, virusOffset = 0, size = 0;
    if (!virusStartAddress(*emu, &virusStart) || !fileOffsetOf(*emu, virusStart, &virusOffset)) return KILL_FAILED;
    uint8_t key = 0;
    uint8_t saved[kSavedLength] = {};
    if (virusOffset > 0xFFFFFFFFu - 159 - kSavedLength) return KILL_FAILED;
    if (!readFile(*emu, &key, virusOffset + 3, 1) || !readFile(*emu, saved, virusOffset + 159, kSavedLength))
        return KILL_FAILED;
    uint8_t rolling = std::rotl(key, 1);
    for (uint8_t& b : saved) {
        b ^= rolling;
        rolling = std::rotr(rolling, 1);
    }
    if (!fileSize(*emu, &size) || size < kVirusLength) return KILL_FAILED;
    return restoreAndTruncate(*emu, saved, 0, size - kVirusLength) ? KILL_REPAIRED : KILL_FAILED;
}

// MZ: the entry is the virus start. Its key byte is at +3 and the host's IP and CS at +144 and
// +148, byte 144 + j XORed with the key rotated right by j. The virus keeps no stack: the
// repaired header gets SS = 0 and SP = 0xFFFE, the stack the virus gives every host it infects.
uint32_t CScanDataCrimeIIEXE::Kill(STScanInfo*, tagScanExParam* param) {
    constexpr uint32_t kBodyLength = 256;
    IExecExport* emu = emulatorOf(param);
    if (!emu) return KILL_FAILED;

    uint32_t entry = 0, virusOffset = 0;
    uint8_t body[kBodyLength] = {};
    if (!entryAddress(*emu, &entry) || !fileOffsetOf(*emu, entry, &virusOffset)) return KILL_FAILED;
    if (!readFile(*emu, body, virusOffset, kBodyLength)) return KILL_FAILED;
    const uint8_t key = body[3];
    for (int j = 0; j < 8; ++j) body[144 + j] ^= std::rotr(key, j);
    if (virusOffset < kMzRegistersEnd) return KILL_FAILED;

    if (!writeFile(*emu, body + 144, kMzIpOffset, 2) || !writeFile(*emu, body + 148, kMzCsOffset, 2) ||
        !writeWord(*emu, kMzSsOffset, 0) || !writeWord(*emu, kMzSpOffset, 0xFFFE))
        return KILL_FAILED;
    return truncateFile(*emu, virusOffset) ? KILL_REPAIRED : KILL_FAILED;
}
