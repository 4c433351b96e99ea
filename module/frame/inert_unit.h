// The unit behind table rows whose class is not built: it never detects (Scan 0) and never
// repairs (Kill KILL_FAILED). Keeping such rows in the tables keeps the row order, which
// decides which unit wins, and lets a listing show what is not covered yet.
#pragma once

#include "module/frame/scan_unit.h"

class CInertScanUnit : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CInertScanUnit>(); }
};
