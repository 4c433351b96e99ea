// The kill engine: repairs one file on request, by virus identifier (looked up in the kill
// table of the file's format), by method number or by special-method number. It keeps
// nothing between calls.
#pragma once

#include "module/frame/engine_base.h"
#include "module/frame/unit_table.h"

// The tables one kill engine looks keys up in.
struct KillTables {
    const UnitTableEntry* const* byFormatSlot;  // by virus identifier
    const UnitTableEntry* byMethodNumber;
    const UnitTableEntry* bySpecialMethod;
};
extern const KillTables kShippedKillTables;  // aKillMethods, aMethodKill, aSpecKill

class CQEEngineKillEx : public CQEEngineScanKillExBase {
public:
    CQEEngineKillEx();
    // Tests may run the engine over their own tables.
    explicit CQEEngineKillEx(const KillTables& tables);

    // Does nothing: SCAN_NOT_SUPPORTED.
    uint32_t Scan(IUnknown* file, void* request) override;
    // `request` is an STScanExRequest. Returns the unit's Kill result; KILL_FAILED when the file
    // object, its stream, the table, the row or the unit is missing, the method is 2 or more,
    // or the format has no kill slot; 0 when the file's format cannot be read.
    uint32_t Kill(IUnknown* file, void* request) override;

private:
    const KillTables* m_tables;
};
