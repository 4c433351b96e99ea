// Cekar: the first piece of the virus over 0x204 bytes at the host's entry point, up to four more
// pieces elsewhere in the file; read in order the pieces hold the host's entry bytes at 0x4A2.
#pragma once

#include <cstdint>

#include "module/frame/scan_unit.h"

// Kill only: the entry bytes gathered from the pieces go back, pieces 1 to 4 are zeroed.
class CKillCekar : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CKillCekar>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
