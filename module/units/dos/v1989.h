// V_1989: sliding-word cipher over the appended body; COM and MZ hosts.
#pragma once

#include "module/frame/scan_unit.h"

class CScanV_1989Com : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanV_1989Com>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

class CScanV_1989EXE : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanV_1989EXE>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
