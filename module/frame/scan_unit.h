// The scan-unit contract: every detector and cleaner derives from CScanEXVirus and is driven
// by an engine through NeedToScan, Scan, WorkIfVirus, and later Kill. Heuristic units derive
// from one of the two unknown-virus bases below.
#pragma once

#include <new>

#include "sdk/engine.h"

class CScanEXVirus {
public:
    virtual ~CScanEXVirus();
    // Non-zero when the virus is present. The reported identifier is the table row's.
    virtual uint32_t Scan(STScanInfo* info, tagScanExParam* param);
    // KILL_REPAIRED, KILL_REMOVED, or a failure (KILL_FAILED by default).
    virtual uint32_t Kill(STScanInfo* info, tagScanExParam* param);
    virtual void Reset();
    // Non-zero when the file is of interest.
    virtual uint32_t NeedToScan(STScanInfo* info);
    // Receives the file's IQEStream and the row's identifier; non-zero confirms the hit.
    virtual uint32_t WorkIfVirus(IUnknown* stream, unsigned int id);
};

// Heuristic units: they run only when the host's configuration switches heuristics on
// (setting 131 of the engine configuration).
class CUnknownScanEXVirus : public CScanEXVirus {
public:
    uint32_t NeedToScan(STScanInfo* info) override;
};

// Suspicion units: never run through an engine.
class CSuspScanEXVirus : public CScanEXVirus {
public:
    uint32_t NeedToScan(STScanInfo* info) override;
    uint32_t WorkIfVirus(IUnknown* stream, unsigned int id) override;
};

using CreateScanExUnitFn = CScanEXVirus* (*)();

// Gives a unit class its static creator: `static CScanEXVirus* CreateScanExUnit()`.
template <class Unit>
CScanEXVirus* createScanExUnit() {
    return new (std::nothrow) Unit();
}
