// SG_Bomber1305: an encrypted appended body that puts the host's first bytes back itself.
#pragma once

#include "module/frame/scan_unit.h"

class CScanSG_Bomber1305 : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanSG_Bomber1305>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
