// ZhengZhou: the host's first 32 bytes kept in the appended body under a one-byte key.
#pragma once

#include "module/frame/scan_unit.h"

class CScanZhengZhou : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanZhengZhou>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
