// DataCrimeII: saved host bytes or header words under a rotating one-byte key; COM and MZ hosts.
#pragma once

#include "module/frame/scan_unit.h"

class CScanDataCrimeIICOM : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanDataCrimeIICOM>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

class CScanDataCrimeIIEXE : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanDataCrimeIIEXE>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
