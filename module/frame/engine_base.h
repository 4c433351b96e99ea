// What every engine shares: the reference count, the host's running-object table, the
// interfaces it answers and its binding to the table (init_class).
#pragma once

#include "module/frame/unknown_imp.h"
#include "module/toolkit/scan_report.h"
#include "sdk/engine.h"
#include "sdk/host_services.h"

class CQEEngineScanKillExBase : public IQEEngineScanEx, public CUnknownImp {
public:
    // Answers IUnknown and IQEEngineScanEx.
    QRESULT QueryInterface(const GUID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    // Finds nothing (0).
    uint32_t Scan(IUnknown* file, void* request) override;
    // Repairs nothing (KILL_FAILED).
    uint32_t Kill(IUnknown* file, void* request) override;

    // Binds the engine to the host's running-object table. A non-null outer object fails and
    // changes nothing. Binding to another table releases the held one first. Returns 0 when a
    // table is held afterwards, else QE_E_INVALIDARG (so a null table fails).
    virtual QRESULT init_class(IUnknown* rot, IUnknown* outer);
    // Releases the running-object table.
    virtual ~CQEEngineScanKillExBase();

    IQERunningObjectTable* runningObjectTable() const { return m_rot; }
    // The host's scan report in the bound table, or null when it offers none.
    IQEScanReport* scanReport() { return m_reportSource.get(m_rot); }

protected:
    CQEEngineScanKillExBase() = default;
    CQEEngineScanKillExBase(const CQEEngineScanKillExBase&) = delete;
    CQEEngineScanKillExBase& operator=(const CQEEngineScanKillExBase&) = delete;

    IQERunningObjectTable* m_rot = nullptr;  // owned reference
    remedy::ScanReportSource m_reportSource;
};
