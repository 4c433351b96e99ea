#include "module/toolkit/scan_report.h"

#include "sdk/identifiers.h"

namespace remedy {

namespace {
thread_local IQEScanReport* boundReport = nullptr;
}  // namespace

IQEScanReport* ScanReportSource::get(IUnknown* rot) {
    if (looked_ && rot == rot_) return report_.get();
    looked_ = true;
    rot_ = rot;
    report_.reset();
    InterfacePtr<IQERunningObjectTable> table = queryInterface<IQERunningObjectTable>(rot, qe::IID_IQERunningObjectTable);
    InterfacePtr<IUnknown> object;
    if (table && table->GetObject(qe::PID_ROT_ScanReport, object.put()) >= 0 && object)
        report_ = queryInterface<IQEScanReport>(object.get(), qe::IID_IQEScanReport);
    return report_.get();
}

ScanReportBinding::ScanReportBinding(IQEScanReport* report) : previous_(boundReport) { boundReport = report; }

ScanReportBinding::~ScanReportBinding() { boundReport = previous_; }

void reportUnitStarted(const char* unitClass) {
    if (boundReport) boundReport->UnitStarted(unitClass);
}

void reportLimit(const char* what) {
    if (boundReport) boundReport->LimitReached(what);
}

}  // namespace remedy
