// Neshta: the virus's own program prepended; the host's first 41,472 bytes moved to the end of
// the file, the first 1,000 of them under a keystream of a linear congruential generator.
#pragma once

#include <cstdint>

#include "module/frame/scan_unit.h"

// Kill method: KILL_REPAIRED, KILL_REMOVED for a file that is nothing but the virus, else
// KILL_FAILED.
class CScanNeshtaA : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanNeshtaA>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;

    // Advances the generator; a value below `range`.
    uint32_t GetXorSeed(uint32_t range);
    // Restarts the generator at `seed` and XORs `count` bytes with successive GetXorSeed(255).
    void XorData(uint8_t* buffer, uint32_t seed, uint32_t count);

private:
    uint32_t state_ = 0;
};
