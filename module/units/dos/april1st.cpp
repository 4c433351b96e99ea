#include "module/units/dos/april1st.h"

#include <memory>
#include <new>

#include "module/toolkit/byte_reader.h"
#include "module/units/dos/dos_common.h"

using namespace remedy;
using namespace remedy::dos;

// The virus added 93 paragraphs to the segment word of every relocation entry; the repair
// takes them off again. Nothing else in the file changes.
uint32_t CScanApril_1stEXE::Kill(STScanInfo*, tagScanExParam* param) {
    constexpr uint16_t kShift = 93;
    IExecExport* emu = emulatorOf(param);
    if (!emu) return KILL_FAILED;
    uint8_t header[28] = {};
    uint32_t size = 0;
    if (!readFile(*emu, header, 0, sizeof header) || !fileSize(*emu, &size)) return KILL_FAILED;
    const uint32_t entries = loadLe16(header + 6);
    const uint32_t tableOffset = loadLe16(header + 24);
    if (size <= tableOffset) return KILL_FAILED;
    if (entries == 0) return KILL_REPAIRED;  // nothing to shift back

    const uint32_t tableLength = 4 * entries;
    std::unique_ptr<uint8_t[]> table(new (std::nothrow) uint8_t[tableLength]);
    if (!table || !readFile(*emu, table.get(), tableOffset, tableLength)) return KILL_FAILED;
    for (uint32_t k = 0; k < entries; ++k) {
        uint8_t* segment = table.get() + 4 * k + 2;
        storeLe16(segment, uint16_t(loadLe16(segment) - kShift));
    }
    return writeFile(*emu, table.get(), tableOffset, tableLength) ? KILL_REPAIRED : KILL_FAILED;
}
