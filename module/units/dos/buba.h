// Buba1537: host SS, IP and CS kept in the appended body under a one-byte key.
#pragma once

#include "module/frame/scan_unit.h"

class CScanBuba1537EXE : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanBuba1537EXE>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
