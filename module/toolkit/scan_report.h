// Telling the host which unit is at work and which fixed limit cut a unit's work short, through
// the host's optional scan report (IQEScanReport, PID_ROT_ScanReport). Engines bind the report
// for the call under way on their thread; units only call reportLimit. With no report bound
// every call here does nothing, and nothing a unit answers depends on it.
#pragma once

#include "module/toolkit/interface_ptr.h"
#include "sdk/host_services.h"

namespace remedy {

// An engine's report, looked up in its running-object table once and kept while the table is.
class ScanReportSource {
public:
    IQEScanReport* get(IUnknown* rot);

private:
    IUnknown* rot_ = nullptr;  // the table the report was looked up in (not owned)
    bool looked_ = false;
    InterfacePtr<IQEScanReport> report_;
};

// For the engine call under way on this thread, reports go to `report` (null: nowhere). The
// binding of an enclosing call comes back when this one ends.
class ScanReportBinding {
public:
    explicit ScanReportBinding(IQEScanReport* report);
    ~ScanReportBinding();
    ScanReportBinding(const ScanReportBinding&) = delete;
    ScanReportBinding& operator=(const ScanReportBinding&) = delete;

private:
    IQEScanReport* previous_;
};

// The unit of a table row is about to be asked to scan or kill (`unitClass` lives as long as
// the module: the row's class name).
void reportUnitStarted(const char* unitClass);

// The unit at work stopped at a fixed limit of its own (an instruction budget, a step cap, a
// size cap, a recursion depth) before it could decide, on a file that gave it reason to look:
// `what` names the limit, e.g. "emulation steps". Not for the ordinary end of a search that
// found nothing.
void reportLimit(const char* what);

}  // namespace remedy
