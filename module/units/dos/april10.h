// April10_2217: saved bytes or header words under a chained XOR; COM and MZ hosts.
#pragma once

#include "module/frame/scan_unit.h"

class CScanApril10_2217COM : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanApril10_2217COM>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

class CScanApril10_2217EXE : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanApril10_2217EXE>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
