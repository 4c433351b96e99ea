// The unknown-virus (heuristic) engine. It runs aScanMethodsUnknown; its unit names the virus
// itself through the unit parameter (the verdict), never through the row. The heuristic unit
// bases are in scan_unit.h, the units under module/units/heuristic/.
//
// How a host obtains the engine: the module exports nothing new and QEGetClassObject answers
// as before. The post-library engine's class factory (CLSID_CQEEngineScanExPost) creates an
// unknown-virus engine when CreateInstance is asked for IQEEngine, which the post-library
// engine itself never answers; every other interface identifier creates the post-library
// engine as before.
#pragma once

#include "module/frame/unit_table.h"
#include "module/frame/unit_walk.h"
#include "module/frame/unknown_imp.h"
#include "module/toolkit/scan_report.h"
#include "sdk/engine.h"
#include "sdk/host_services.h"

class CQEEngineUnkVirusEx : public IQEEngine, public CUnknownImp {
public:
    CQEEngineUnkVirusEx();
    // Tests may run the engine over their own per-phase array.
    explicit CQEEngineUnkVirusEx(const UnitTableEntry* const* phaseTables);

    // Answers IUnknown and IQEEngine.
    QRESULT QueryInterface(const GUID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    // The verdict's virus identifier, or 0 (also when the file cannot be scanned);
    // KILL_FAILED when a unit could not be created.
    uint32_t Scan(IUnknown* file) override;
    // `file` is ignored: the unit kept by the last verdict acts on the records of that scan.
    // KILL_FAILED without a kept unit.
    uint32_t Kill(IUnknown* file) override;
    // As the other engines: binds to the running-object table; a non-null outer object or a
    // table that is no IQERunningObjectTable fails with QE_E_INVALIDARG.
    QRESULT init_class(IUnknown* rot, IUnknown* outer);

    virtual ~CQEEngineUnkVirusEx();

private:
    CQEEngineUnkVirusEx(const CQEEngineUnkVirusEx&) = delete;
    CQEEngineUnkVirusEx& operator=(const CQEEngineUnkVirusEx&) = delete;

    const UnitTableEntry* const* m_phaseTables;
    IQERunningObjectTable* m_rot = nullptr;  // owned reference
    KeptUnit m_kept;
    remedy::ScanReportSource m_reportSource;
    STScanInfo m_info{};
    tagScanExParam m_param{};
};
