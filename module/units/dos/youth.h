// Youth555: the host's first 512 bytes kept at the start of the appended body under a one-byte key.
#pragma once

#include "module/frame/scan_unit.h"

class CScanYouth555Com : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanYouth555Com>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
