// LovGate: the worm puts itself, a prefix of fixed length, in front of the host program and
// keeps the host's length in the prefix's last bytes. The cleaners cut the prefix off; a file
// that is only the worm is deleted.
#pragma once

#include <cstdint>

#include "module/frame/scan_unit.h"

class CScanWin32LovGate_ax : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWin32LovGate_ax>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

class CScanWin32LovGate_ay : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWin32LovGate_ay>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

class CScanWin32LovGate_bo : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWin32LovGate_bo>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

// Two prefix lengths: the host starts at 49160 or, failing that, at 51208.
class CScanWin32LovGateSub : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWin32LovGateSub>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

// Deletes the file. Its Scan finds nothing: no mark tells a bare LovGate file apart safely
// enough to delete it.
class CScanLovGateGeneric : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanLovGateGeneric>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
