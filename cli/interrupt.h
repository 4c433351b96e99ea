// SIGINT, SIGTERM and SIGHUP end a run cleanly instead of killing it: the handler only notes
// the signal; workers start no new file, a commit not yet at its exchange rolls back, and the
// run prints what it did and says it was interrupted. A second signal acts as it normally does.
#pragma once

#include <atomic>

#include "host/repair.h"

namespace cli {

void catchInterrupts();
const std::atomic<bool>& interruptRequested();
int interruptSignal();  // the signal that arrived; 0 when none
const char* interruptSignalName();

// Tests of the command stop it at a named point (the commit's steps: lock, backup, write, sync,
// link, rename, verify, discard; "walked", after the walk; "printed", after a result line): REMEDY_TEST_STOP_AT=NAME stops
// the process there (SIGSTOP) until the test has changed the disk and continues it;
// REMEDY_TEST_TERM_AT=NAME sends it SIGTERM there. Does nothing without them.
void testPoint(const char* name);
// The test point of a commit step, for host::CommitSettings::atStep.
void commitTestPoint(host::CommitStep step);

}  // namespace cli
