// Tremor: host header words kept as distances from the virus's own code segment.
#pragma once

#include "module/frame/scan_unit.h"

class CScanTremor : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanTremor>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
