// Bomber: a body written over the middle of the host, whose overwritten code moved to the end.
#pragma once

#include "module/frame/scan_unit.h"

class CScanBomberCOM : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanBomberCOM>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
