#include "host/engine_request.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace host {

namespace {

thread_local EngineRequest* currentRequest = nullptr;

constexpr uint64_t kNoTrigger = UINT64_MAX;

// REMEDY_TEST_WATCHDOG_AFTER=N sets the trigger for a whole process (tests of the commands).
uint64_t triggerFromEnvironment() {
    const char* text = std::getenv("REMEDY_TEST_WATCHDOG_AFTER");
    if (!text || !*text) return kNoTrigger;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    return end && *end == '\0' ? uint64_t(value) : kNoTrigger;
}

std::atomic<uint64_t> watchdogTrigger{triggerFromEnvironment()};

std::chrono::nanoseconds threadCpuTime() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

EngineRequest::EngineRequest(Kind kind) : kind_(kind), cpuStart_(threadCpuTime()) {
    const uint64_t trigger = watchdogTrigger.load(std::memory_order_relaxed);
    if (trigger != kNoTrigger) trigger_ = trigger;
    scheduleNextCheck();
    if (kind_ == Kind::Installed) {
        previous_ = currentRequest;
        currentRequest = this;
    }
}

EngineRequest::~EngineRequest() {
    if (kind_ == Kind::Installed) currentRequest = previous_;
}

EngineRequest* EngineRequest::current() { return currentRequest; }

void EngineRequest::setWatchdogTrigger(std::optional<uint64_t> instructions) {
    watchdogTrigger.store(instructions ? *instructions : kNoTrigger, std::memory_order_relaxed);
}

void EngineRequest::scheduleNextCheck() {
    uint64_t next = executed_ + kCheckInterval;
    next = std::min(next, kInstructionBudget + 1);
    if (trigger_ && *trigger_ >= executed_) next = std::min(next, *trigger_ + 1);
    nextCheck_ = std::max(next, executed_ + 1);
}

// executed_ counts the instruction asking to be admitted.
bool EngineRequest::check() {
    if (stopped_) return false;
    if (trigger_ && executed_ > *trigger_) {
        fire();
        return false;
    }
    if (executed_ > kInstructionBudget) {
        limitReached("emulation instructions");
        stopped_ = true;
        return false;
    }
    if (threadCpuTime() - cpuStart_ >= cpuBudget_) {
        fire();
        return false;
    }
    scheduleNextCheck();
    return true;
}

void EngineRequest::fire() {
    stopped_ = true;
    if (limits_.timedOut) return;
    limits_.timedOut = true;
    limits_.timedOutUnit = unit_ ? unit_ : "";
}

void EngineRequest::limitReached(std::string_view what) {
    // A unit that ran into a stopped request only sees the stop the request already names.
    if (stopped_) return;
    std::string text(what);
    if (unit_) text += std::string(" (") + unit_ + ")";
    if (std::find(limits_.reached.begin(), limits_.reached.end(), text) == limits_.reached.end())
        limits_.reached.push_back(std::move(text));
}

}  // namespace host
