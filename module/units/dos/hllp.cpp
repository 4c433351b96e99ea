#include "module/units/dos/hllp.h"

#include "module/units/dos/dos_common.h"

using namespace remedy;
using namespace remedy::dos;

// The virus is a 7808-byte program in front of the host. A file of exactly that size is the
// virus alone and is deleted; a shorter one cannot hold it and is left alone.
uint32_t CScanHllp7808EXE::Kill(STScanInfo*, tagScanExParam* param) {
    constexpr uint32_t kVirusLength = 7808;
    IExecExport* emu = emulatorOf(param);
    uint32_t size = 0;
    if (!emu || !fileSize(*emu, &size) || size < kVirusLength) return KILL_FAILED;
    if (size == kVirusLength) return emu->DeleteFile() ? KILL_REMOVED : KILL_REMOVE_FAILED;
    if (size > 2 * kVirusLength - 1) {
        if (!emu->MoveFileData(0, kVirusLength, size - kVirusLength, 0)) return KILL_FAILED;
        return truncateFile(*emu, size - kVirusLength) ? KILL_REPAIRED : KILL_FAILED;
    }
    return emu->CutFile(0, kVirusLength) ? KILL_REPAIRED : KILL_FAILED;
}
