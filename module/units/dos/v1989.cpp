#include "module/units/dos/v1989.h"

#include "module/toolkit/byte_reader.h"
#include "module/units/dos/dos_common.h"

using namespace remedy;
using namespace remedy::dos;

// COM: body of 1989 bytes at the virus start: key word at 78, 1762 sliding words from 112, the
// host's first four bytes at 1849 masked with the word at 1886.
uint32_t CScanV_1989Com::Kill(STScanInfo*, tagScanExParam* param) {
    static constexpr SlidingWordLayout kLayout{1989, 78, 112, 1762, -1, 0x00CF, 1849, 1886};
    return killSlidingWordCom(param, kLayout);
}

// MZ: the body at the entry holds the host's SP at 1849, SS at 1851, IP at 1853 and CS at 1855.
// The cipher is keyed by the infected header's IP; the two segments are kept relative to the
// virus's own code segment (header CS), which the host's segment words get back by adding it.
uint32_t CScanV_1989EXE::Kill(STScanInfo*, tagScanExParam* param) {
    constexpr uint32_t kBodyLength = 1919;
    IExecExport* emu = emulatorOf(param);
    if (!emu) return KILL_FAILED;

    uint32_t entry = 0;
    uint16_t headerIp = 0;
    uint8_t body[kBodyLength] = {};
    if (!entryAddress(*emu, &entry) || !readWord(*emu, kMzIpOffset, &headerIp)) return KILL_FAILED;
    if (!readMemory(*emu, entry, body, kBodyLength)) return KILL_FAILED;

    const uint16_t key = loadLe16(body + 78);
    const uint16_t x = uint16_t((key ^ 0x00CF) ^ uint16_t(headerIp - 256));
    if (!slidingWordXor(body, 112, 1762, x, -1)) return KILL_FAILED;

    // The virus's code segment relative to the load module. The loaded CS is (entry - IP) / 16;
    // subtracting the load segment leaves the header's value whatever paragraph the host loaded
    // the program at.
    uint16_t loadSegment = 0;
    if (!mzLoadSegment(*emu, &loadSegment)) return KILL_FAILED;
    const uint16_t loadedCs = uint16_t((entry - headerIp) >> 4);
    const uint16_t virusCs = uint16_t(loadedCs - loadSegment);
    storeLe16(body + 1851, uint16_t(loadLe16(body + 1851) + virusCs));
    storeLe16(body + 1855, uint16_t(loadLe16(body + 1855) + virusCs));

    uint32_t virusOffset = 0;
    if (!fileOffsetOf(*emu, entry, &virusOffset) || virusOffset < kMzRegistersEnd) return KILL_FAILED;
    if (!writeFile(*emu, body + 1851, kMzSsOffset, 2) || !writeFile(*emu, body + 1849, kMzSpOffset, 2) ||
        !writeFile(*emu, body + 1853, kMzIpOffset, 4))
        return KILL_FAILED;
    return truncateFile(*emu, virusOffset) ? KILL_REPAIRED : KILL_FAILED;
}
