// Badboy_1000: a 1000-byte body at the start of the file; the host's head moved to the end.
#pragma once

#include "module/frame/scan_unit.h"

class CScanBadboy_1000COM : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanBadboy_1000COM>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
