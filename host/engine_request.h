// One engine request (the scan of one file, or one kill) on one thread: what bounds the code it
// runs, which unit is at work, and which limits cut a unit's work short.
//
// Every bound that can change a verdict or a repair counts instructions, never time, so a file
// gets the same answer on a fast, a slow and a busy machine:
//   - kInstructionBudget instructions in all, over every emulator and VM the request uses. A run
//     that reaches it ends as at a step limit (status 1), later runs end at once, and the request
//     reports the limit "emulation instructions".
// Time only guards, as a last resort against code that costs the x86 engine a fresh translation
// on every step (a loop rewriting its own code page):
//   - the watchdog: once the request has used kCpuBudget of this thread's CPU time (looked at
//     every kCheckInterval instructions), the run under way ends as at a step limit, later runs
//     end at once, and the request's answer is void: the host reports an error for the file
//     ("time limit reached"), never a verdict and never a repair. CPU time, not wall time, so a
//     busy machine that takes the core away does not bring it nearer.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// What limits did to one request. Never part of a verdict; shown beside it.
struct RequestLimits {
    bool timedOut = false;             // the watchdog fired: the request's answer is void
    std::string timedOutUnit;          // the unit at work when it fired ("" when none was named)
    std::vector<std::string> reached;  // fixed limits met, as "emulation steps (CScanX)"

    // The error a timed-out request is reported with: "time limit reached (UNIT)".
    std::string timeOutError() const {
        return "time limit reached (" + (timedOutUnit.empty() ? std::string("engines") : timedOutUnit) + ")";
    }
};

class EngineRequest {
public:
    static constexpr uint64_t kInstructionBudget = 100'000'000;
    static constexpr std::chrono::milliseconds kCpuBudget{5'000};
    static constexpr uint32_t kCheckInterval = 4096;

    enum class Kind {
        Installed,   // becomes the thread's current request until it ends
        Standalone,  // an emulator's own bounds when it runs outside any request
    };
    explicit EngineRequest(Kind kind = Kind::Installed);
    ~EngineRequest();
    EngineRequest(const EngineRequest&) = delete;
    EngineRequest& operator=(const EngineRequest&) = delete;

    // The installed request of this thread, or null.
    static EngineRequest* current();

    // Called before each instruction an emulator or VM executes: false when the run must end
    // there (budget spent or watchdog fired); then every later call answers false too.
    bool admitInstruction() {
        if (++executed_ < nextCheck_) return true;
        return check();
    }
    bool stopped() const { return stopped_; }

    void unitStarted(const char* unitClass) { unit_ = unitClass; }
    // Records "what (unit at work)" once.
    void limitReached(std::string_view what);
    const RequestLimits& limits() const { return limits_; }

    // Replaces kCpuBudget for this request (tests; what was spent still counts).
    void setCpuBudget(std::chrono::nanoseconds budget) { cpuBudget_ = budget; }

    // Tests: every request made from now on fires its watchdog when it has admitted exactly
    // `instructions` instructions (std::nullopt: never). Process-wide; the environment variable
    // REMEDY_TEST_WATCHDOG_AFTER=N sets it for a whole process (tests of the commands).
    static void setWatchdogTrigger(std::optional<uint64_t> instructions);

private:
    bool check();
    void fire();
    void scheduleNextCheck();

    Kind kind_;
    EngineRequest* previous_ = nullptr;
    uint64_t executed_ = 0;
    uint64_t nextCheck_ = 0;
    std::optional<uint64_t> trigger_;
    std::chrono::nanoseconds cpuStart_{};
    std::chrono::nanoseconds cpuBudget_ = kCpuBudget;
    bool stopped_ = false;
    const char* unit_ = nullptr;
    RequestLimits limits_;
};

}  // namespace host
