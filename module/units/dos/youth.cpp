#include "module/units/dos/youth.h"

#include <cstring>

#include "module/units/dos/dos_common.h"

using namespace remedy;
using namespace remedy::dos;

// The virus is the last 555 bytes: the host's first 512 bytes XORed with the key byte (at 11 of
// the code the virus put at the entry), then its own code, which starts with CALL $+3; POP SI.
// When that code is not where it belongs the host's head cannot be found: the file is deleted.
uint32_t CScanYouth555Com::Kill(STScanInfo*, tagScanExParam* param) {
    constexpr uint32_t kVirusLength = 555;
    constexpr uint32_t kHeadLength = 512;
    constexpr uint8_t kCodeStart[] = {0xE8, 0x00, 0x00, 0x5E};
    IExecExport* emu = emulatorOf(param);
    if (!emu) return KILL_FAILED;

    uint32_t entry = 0, size = 0;
    uint8_t buffer[560] = {};
    if (!fileSize(*emu, &size) || !entryAddress(*emu, &entry)) return KILL_FAILED;
    // Too short to hold a host head and the virus: not this virus's work, and not a reason to
    // delete the file either.
    if (size < kVirusLength + kHeadLength) return KILL_FAILED;
    if (!readMemory(*emu, entry, buffer, 16)) return KILL_FAILED;
    const uint8_t key = buffer[11];
    const uint32_t hostLength = size - kVirusLength;
    if (!readMemory(*emu, entry + hostLength, buffer, sizeof buffer)) return KILL_FAILED;

    if (std::memcmp(buffer + kHeadLength, kCodeStart, sizeof kCodeStart) != 0)
        return emu->DeleteFile() ? KILL_REMOVED : KILL_REMOVE_FAILED;
    xorBytes(std::span<uint8_t>(buffer, kHeadLength), key);
    return restoreAndTruncate(*emu, std::span<const uint8_t>(buffer, kHeadLength), 0, hostLength) ? KILL_REPAIRED
                                                                                                  : KILL_FAILED;
}
