// Viking: the worm's own PE image in front of the host program, possibly followed by the worm's
// debug data. The cleaner moves what follows the worm's file data to the front and shortens the
// file; a file that is the worm alone is deleted. When the scanned object is the unpacked image
// of a packed file, the repair is made on the outer packed file and copied into the scanned one.
#pragma once

#include <cstdint>

#include "module/frame/scan_unit.h"

// Kill only: KILL_REPAIRED, KILL_REMOVED for the worm alone, KILL_FAILED otherwise.
class CScanViking : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanViking>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
