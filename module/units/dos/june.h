// June1919: the host's first four bytes kept in the appended body under a sliding-word cipher.
#pragma once

#include "module/frame/scan_unit.h"

class CScanJune1919Com : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanJune1919Com>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
