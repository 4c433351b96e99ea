// Padania 1335: a 1335-byte body as a last section at the kernel-mode address 0xC0000000, a
// loader in the free space behind the section table, and a patched call in the host's code.
#pragma once

#include <cstdint>

#include "module/frame/scan_unit.h"

// Detects the body by three code fragments; Kill puts the patched host bytes back, zeroes the
// loader and the body and drops the last section from the header. The body stays in the file,
// zeroed, as trailing data.
class CScanPadania1335b : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanPadania1335b>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
