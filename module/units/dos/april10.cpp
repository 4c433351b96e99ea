#include "module/units/dos/april10.h"

#include "module/toolkit/byte_reader.h"
#include "module/units/dos/dos_common.h"

using namespace remedy;
using namespace remedy::dos;

namespace {
// The virus is 2217 bytes at the end of the file; its 2208-byte body is encrypted from byte 41
// on with a chained XOR seeded by byte 23.
constexpr uint32_t kVirusLength = 2217;
constexpr uint32_t kBodyLength = 2208;

bool readBody(IExecExport& emu, uint32_t address, uint8_t (&body)[kBodyLength]) {
    return readMemory(emu, address, body, kBodyLength) && chainedXor(body, 23, 41);
}
}  // namespace

// COM: the virus planted its jump where the host's own entry jump led (file offset W, the word
// at 2151), not at the entry; the second jump from the entry reaches the body, and the four bytes
// it replaced at W are at 2178.
uint32_t CScanApril10_2217COM::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    if (!emu) return KILL_FAILED;
    uint32_t bodyAddress = 0, size = 0;
    uint8_t body[kBodyLength] = {};
    if (!secondJumpAddress(*emu, &bodyAddress) || !readBody(*emu, bodyAddress, body)) return KILL_FAILED;

    const uint32_t patchOffset = loadLe16(body + 2151);
    if (!fileSize(*emu, &size) || size <= patchOffset || size < kVirusLength) return KILL_FAILED;
    return restoreAndTruncate(*emu, std::span<const uint8_t>(body + 2178, 4), patchOffset, size - kVirusLength)
               ? KILL_REPAIRED
               : KILL_FAILED;
}

// MZ: the body at the entry keeps the host's SS at 2192, SP at 2194, IP at 2198 and CS at 2200.
uint32_t CScanApril10_2217EXE::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    if (!emu) return KILL_FAILED;
    uint32_t entry = 0, size = 0;
    uint8_t body[kBodyLength] = {};
    if (!entryAddress(*emu, &entry) || !readBody(*emu, entry, body)) return KILL_FAILED;
    if (!fileSize(*emu, &size) || size < kVirusLength || size - kVirusLength < kMzRegistersEnd) return KILL_FAILED;

    if (!writeFile(*emu, body + 2198, kMzIpOffset, 2) || !writeFile(*emu, body + 2200, kMzCsOffset, 2) ||
        !writeFile(*emu, body + 2192, kMzSsOffset, 2) || !writeFile(*emu, body + 2194, kMzSpOffset, 2))
        return KILL_FAILED;
    return truncateFile(*emu, size - kVirusLength) ? KILL_REPAIRED : KILL_FAILED;
}
