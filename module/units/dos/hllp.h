// Hllp7808: a 7808-byte program prepended to the host.
#pragma once

#include "module/frame/scan_unit.h"

class CScanHllp7808EXE : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanHllp7808EXE>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
