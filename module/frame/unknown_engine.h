// The unknown-virus (heuristic) engine and its units. The engine runs aScanMethodsUnknown; its
// unit names the virus itself through the unit parameter (the verdict), never through the row.
//
// How a host obtains the engine: the module exports nothing new and QEGetClassObject answers
// as before. The post-library engine's class factory (CLSID_CQEEngineScanExPost) creates an
// unknown-virus engine when CreateInstance is asked for IQEEngine, which the post-library
// engine itself never answers; every other interface identifier creates the post-library
// engine as before.
#pragma once

#include <span>

#include "module/frame/scan_unit.h"
#include "module/frame/unit_table.h"
#include "module/frame/unknown_imp.h"
#include "module/formats/string_dump.h"
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
    CScanEXVirus* m_keptUnit = nullptr;      // owned
    const char* m_keptUnitClass = nullptr;   // its row's class name
    remedy::ScanReportSource m_reportSource;
    STScanInfo m_info{};
    tagScanExParam m_param{};
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

// Scans the sections of a file unpacked from a recognised packer layer with the string-dump
// scanner; a definition whose strings are all present names the virus.
class CScanUnknownVirus : public CUnknownScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanUnknownVirus>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    // Removes the file, except for the one identifier that is never removed.
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;

    // The definitions the unit scans with: the shipped ones unless a host installs its own
    // (the span must outlive every scan). Not synchronised: install before scanning.
    static void SetDefinitions(std::span<const tagStrScanMethod> definitions);

    uint32_t lastIdentifier() const { return m_lastId; }

private:
    uint32_t m_lastId = 0;
};
