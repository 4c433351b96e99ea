// Sentinel: an appended body that restores the host's entry bytes and returns to the entry.
#pragma once

#include "module/frame/scan_unit.h"

class CScanSentinelCOM : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanSentinelCOM>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
