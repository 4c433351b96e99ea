// Reading how an emulator or VM run ended, and saying so when a step limit cut it short.
//
// A unit reads results only from a run that ended the way it asked (sdk/exec_export.h has the
// table of stop statuses and what each allows). When a run did not, the unit fails its kill or
// reports nothing found; if the run ended at a step limit - the unit's own, or the host's
// budget for the request - the unit's work was cut short on a file that gave it reason to run
// code, and the host is told (reportLimit "emulation steps").
#pragma once

#include <cstdint>

#include "sdk/exec_export.h"

namespace remedy {

// After an emulator run that did not end as asked: reports the limit when the step limit ended it.
void noteStepLimit(IExecExport& emu);
// The same for a VM run that answered `status` (qe::VM_STATUS_*).
void noteVmStepLimit(uint32_t status);
// The unit's own cap on a walk (a count of single steps) was reached before the walk found what
// it looks for: reports "emulation steps".
void noteWalkCap();

// noteStepLimit, then `result`: `return endedShort(emu, KILL_FAILED);`.
template <class Result>
Result endedShort(IExecExport& emu, Result result) {
    noteStepLimit(emu);
    return result;
}
template <class Result>
Result vmEndedShort(uint32_t status, Result result) {
    noteVmStepLimit(status);
    return result;
}
template <class Result>
Result walkCapReached(Result result) {
    noteWalkCap();
    return result;
}

// Whether the last run was ended by the armed stop condition of `kind` (qe::EXEC_STOP_*).
bool stoppedByCondition(IExecExport& emu, uint32_t kind);

}  // namespace remedy
