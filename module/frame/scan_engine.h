// The specific-virus scan engines. The pre-library engine runs before the host's signature
// library (and scans damaged files with the bad-file tables); the post-library engine runs
// after it and never scans damaged files. Each keeps the unit of its last hit so that a
// following Kill repairs the file through it.
#pragma once

#include "module/frame/engine_base.h"
#include "module/frame/scan_unit.h"
#include "module/frame/unit_table.h"
#include "module/frame/unit_walk.h"

class CQEEngineScanEx : public CQEEngineScanKillExBase {
public:
    // `phaseTables` and `badFileTables` are per-phase arrays (null: the engine scans nothing).
    // The shipped engines are the two subclasses; tests may run the engine over their own arrays.
    CQEEngineScanEx(const UnitTableEntry* const* phaseTables, uint32_t postLibrary,
                    const UnitTableEntry* const* badFileTables = aScanMethodsBadFile);
    ~CQEEngineScanEx() override;

    // `request` is an STScanExRequest. Returns the identifier of the first table row whose
    // unit passes NeedToScan, Scan and WorkIfVirus, exactly as the row stores it; 0 when nothing
    // was found or the file cannot be scanned (no stream, format or PE headers, no table);
    // KILL_FAILED when a unit could not be created.
    uint32_t Scan(IUnknown* file, void* request) override;
    // Both arguments are ignored: the unit kept by the last hit repairs the file with the
    // records the last Scan left. KILL_FAILED when no unit is kept.
    uint32_t Kill(IUnknown* file, void* request) override;

    CScanEXVirus* keptUnit() const { return m_kept.get(); }

protected:
    KeptUnit m_kept;
    STScanInfo m_info{};
    tagScanExParam m_param{};
    const UnitTableEntry* const* m_phaseTables;
    uint32_t m_postLibrary;
    const UnitTableEntry* const* m_badFileTables;

private:
    void dropPeHeaders();
};

class CQEEngineScanExPre : public CQEEngineScanEx {
public:
    CQEEngineScanExPre();
};

class CQEEngineScanExPost : public CQEEngineScanEx {
public:
    CQEEngineScanExPost();
};
