#include "module/units/dos/zhengzhou.h"

#include "module/units/dos/dos_common.h"

using namespace remedy;
using namespace remedy::dos;

// The virus is the last 3584 bytes; at the virus start its key byte is at 39 and the host's
// first 32 bytes follow it, XORed with the key.
uint32_t CScanZhengZhou::Kill(STScanInfo*, tagScanExParam* param) {
    constexpr uint32_t kVirusLength = 3584;
    IExecExport* emu = emulatorOf(param);
    if (!emu) return KILL_FAILED;
    uint32_t virusStart = 0, size = 0;
    uint8_t body[256] = {};
    if (!virusStartAddress(*emu, &virusStart) || !readMemory(*emu, virusStart, body, sizeof body)) return KILL_FAILED;
    const std::span<uint8_t> saved(body + 40, 32);
    xorBytes(saved, body[39]);
    if (!fileSize(*emu, &size) || size < kVirusLength) return KILL_FAILED;
    return restoreAndTruncate(*emu, saved, 0, size - kVirusLength) ? KILL_REPAIRED : KILL_FAILED;
}
