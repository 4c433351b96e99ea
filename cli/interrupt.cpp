#include "cli/interrupt.h"

#include <signal.h>

#include <cstdlib>
#include <cstring>

namespace cli {

namespace {

std::atomic<bool> requested{false};
std::atomic<int> signalNumber{0};

void noteSignal(int number) {
    signalNumber.store(number);
    requested.store(true);
}

}  // namespace

void catchInterrupts() {
    struct sigaction action {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    for (int number : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(number, &action, nullptr);
}

void testPoint(const char* name) {
    static const char* const stopAt = std::getenv("REMEDY_TEST_STOP_AT");
    static const char* const termAt = std::getenv("REMEDY_TEST_TERM_AT");
    if (stopAt && std::strcmp(stopAt, name) == 0) ::raise(SIGSTOP);
    if (termAt && std::strcmp(termAt, name) == 0) ::raise(SIGTERM);
}

const std::atomic<bool>& interruptRequested() { return requested; }

int interruptSignal() { return signalNumber.load(); }

const char* interruptSignalName() {
    switch (signalNumber.load()) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        default: return "a signal";
    }
}

void commitTestPoint(host::CommitStep step) {
    static const char* const kSteps[] = {"none", "lock", "backup", "write", "sync", "link", "rename", "verify", "discard"};
    testPoint(kSteps[int(step)]);
}

}  // namespace cli
