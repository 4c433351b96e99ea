// The table walk both scan engines run (the specific-virus engines and the unknown-virus
// engine), and the unit it keeps for a later Kill.
#pragma once

#include "module/frame/scan_unit.h"
#include "module/frame/unit_table.h"

// The unit of an engine's last hit (owned) and its row's class name. It serves the engine's
// next Kill and lives until the next hit or the engine's destruction.
class KeptUnit {
public:
    KeptUnit() = default;
    ~KeptUnit() { reset(); }
    KeptUnit(const KeptUnit&) = delete;
    KeptUnit& operator=(const KeptUnit&) = delete;

    CScanEXVirus* get() const { return m_unit; }
    // Holds `unit`, the hit of `row`. The unit held before is deleted unless it is the same
    // object (a creator may hand the kept unit out again).
    void keep(CScanEXVirus* unit, const UnitTableEntry& row);
    // Deletes the kept unit; nothing is kept afterwards.
    void reset();
    // Reports the kept unit as started and returns its Kill; KILL_FAILED when none is kept.
    uint32_t kill(STScanInfo* info, tagScanExParam* param) const;

private:
    CScanEXVirus* m_unit = nullptr;
    const char* m_unitClass = nullptr;
};

struct UnitWalkResult {
    enum Outcome { kMissed, kHit, kUnitNotCreated };
    Outcome outcome = kMissed;
    const UnitTableEntry* row = nullptr;  // the hitting row (kHit only)
};

// Walks `table` in row order, reporting each row's unit as started. Each unit is asked
// NeedToScan(info), Scan(info, param) and WorkIfVirus(stream, row id); the first to pass all
// three becomes the kept unit and ends the walk (kHit). A unit that fails is deleted, except
// the kept unit handed out again by its creator: that object stays kept. A creator that
// returns null ends the walk (kUnitNotCreated); the end of the table gives kMissed.
UnitWalkResult walkUnitTable(const UnitTableEntry* table, STScanInfo* info, tagScanExParam* param,
                             IUnknown* stream, KeptUnit& kept);
