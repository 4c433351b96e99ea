// Resur: copies of the header fields the virus changed kept at fixed places in its body. Resur
// a to d get the fields back and have their body blanked; Resur e gets its saved NT headers back
// and its section cut off.
#pragma once

#include <cstdint>

#include "module/frame/scan_unit.h"

// The common repair of Resur a to d: the entry point and import-directory RVA read from the body
// (at the virus start + entryOffset / importOffset) go back into the header, then wipeLength
// bytes from the virus start and wipeBefore bytes before it are zeroed. The file is not cut.
// KILL_REPAIRED once both header fields are written, else KILL_FAILED.
uint32_t CleanWin32ResurFamily(tagScanExParam* param, uint32_t importOffset, uint32_t entryOffset,
                               uint32_t wipeLength, uint32_t wipeBefore);

class CScanWin32Resura : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWin32Resura>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

class CScanWin32Resurb : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWin32Resurb>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

class CScanWin32Resurc : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWin32Resurc>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

class CScanWin32Resurd : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWin32Resurd>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

class CScanWin32Resure : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWin32Resure>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
