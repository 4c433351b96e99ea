// Tanatos: three sections added at the end of the section table and a fixed-size body appended to
// the file; the host's entry point, import directory and (variant A) relocation directory saved
// right behind the section table. The scanned object is the unpacked image of the infected file,
// so the outer packed file is repaired and then copied over the scanned one. A file with fewer
// than four sections is the worm alone and is deleted.
#pragma once

#include <cstdint>

#include "module/frame/scan_unit.h"

// Kill only: KILL_REPAIRED, KILL_REMOVED (KILL_REMOVE_FAILED when the deletion is refused),
// KILL_FAILED, QE_E_INVALIDARG when the scanned object has no containing file, or the host's
// result when the outer file cannot be opened or made ready for writing.
class CScanWormTanatos : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWormTanatos>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

// The A variant: a longer body, and the relocation directory restored as well.
class CScanWormTanatosA : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWormTanatosA>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
