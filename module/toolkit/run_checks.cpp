#include "module/toolkit/run_checks.h"

#include "module/toolkit/scan_report.h"
#include "sdk/host_services.h"

namespace remedy {

namespace {
constexpr char kEmulationSteps[] = "emulation steps";
}

void noteStepLimit(IExecExport& emu) {
    if (emu.GetStopStatus() == qe::EXEC_STATUS_STEP_LIMIT) reportLimit(kEmulationSteps);
}

void noteVmStepLimit(uint32_t status) {
    if (status == qe::VM_STATUS_LIMIT) reportLimit(kEmulationSteps);
}

void noteWalkCap() { reportLimit(kEmulationSteps); }

bool stoppedByCondition(IExecExport& emu, uint32_t kind) {
    uint32_t info[5] = {};
    emu.GetStopInfo(info);
    return (info[0] == qe::EXEC_STATUS_EVENT || info[0] == qe::EXEC_STATUS_INTERRUPT ||
            info[0] == qe::EXEC_STATUS_CONTAINMENT) &&
           info[2] == kind;
}

}  // namespace remedy
