// Moran2720: sliding-word cipher (rising mask) over the appended body.
#pragma once

#include "module/frame/scan_unit.h"

class CScanMoran2720COM : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanMoran2720COM>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
