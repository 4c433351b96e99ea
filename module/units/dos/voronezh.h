// Voronezh: the host's head moved to the end of the file under a one-byte key (COM); the host's entry bytes and a relocation moved into the body (MZ).
#pragma once

#include "module/frame/scan_unit.h"

class CScanVoronezhCom : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanVoronezhCom>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

class CScanVoronezh1600Com : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanVoronezh1600Com>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

class CScanVoronezh600Com : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanVoronezh600Com>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

class CScanVoronezh650Com : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanVoronezh650Com>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

class CScanVoronezh1600EXE : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanVoronezh1600EXE>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
