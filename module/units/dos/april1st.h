// April_1st: every relocation segment shifted by 93 paragraphs.
#pragma once

#include "module/frame/scan_unit.h"

class CScanApril_1stEXE : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanApril_1stEXE>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
