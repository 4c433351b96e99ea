// The bounds of one engine request: the instruction budget decides, the watchdog only guards
// (and counts this thread's CPU time, not the wall clock), the test trigger fires at an exact
// instruction, and units' reports reach the request under way on the thread.
#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <thread>

#include "host/engine_request.h"
#include "host/services.h"

namespace {

using host::EngineRequest;

// Admits instructions until the request refuses one; the count admitted (capped at `cap`).
uint64_t admitted(EngineRequest& request, uint64_t cap) {
    uint64_t count = 0;
    while (count < cap && request.admitInstruction()) ++count;
    return count;
}

struct TriggerReset {
    ~TriggerReset() { EngineRequest::setWatchdogTrigger(std::nullopt); }
};

TEST(EngineRequest, TheTriggerFiresAtExactlyItsInstruction) {
    const TriggerReset reset;
    for (const uint64_t trigger : {0ull, 1ull, 4095ull, 4096ull, 4097ull, 100000ull}) {
        EngineRequest::setWatchdogTrigger(trigger);
        EngineRequest request;
        EXPECT_EQ(admitted(request, trigger + 10), trigger) << trigger;
        EXPECT_TRUE(request.limits().timedOut);
        EXPECT_FALSE(request.admitInstruction()) << "a fired watchdog refuses every later instruction";
        EXPECT_TRUE(request.limits().reached.empty()) << "the watchdog is no fixed limit";
    }
}

TEST(EngineRequest, TheInstructionBudgetIsAFixedLimitNotATimeOut) {
    EngineRequest request;
    request.unitStarted("CScanProbe");
    EXPECT_EQ(admitted(request, EngineRequest::kInstructionBudget + 10), EngineRequest::kInstructionBudget);
    EXPECT_FALSE(request.limits().timedOut);
    ASSERT_EQ(request.limits().reached.size(), 1u);
    EXPECT_EQ(request.limits().reached[0], "emulation instructions (CScanProbe)");
    EXPECT_FALSE(request.admitInstruction());
    EXPECT_EQ(request.limits().reached.size(), 1u) << "reported once";
}

// Wall time that passes while the thread waits (a busy machine, a sleep) does not count; CPU
// time the thread spends does.
TEST(EngineRequest, TheWatchdogCountsThisThreadsCpuTimeOnly) {
    EngineRequest waiting;
    waiting.setCpuBudget(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(admitted(waiting, 3 * EngineRequest::kCheckInterval), 3 * EngineRequest::kCheckInterval);
    EXPECT_FALSE(waiting.limits().timedOut);

    EngineRequest spinning;
    spinning.setCpuBudget(std::chrono::milliseconds(20));
    timespec start{}, now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    do ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    while ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1'000'000 < 40);
    EXPECT_LE(admitted(spinning, 3 * EngineRequest::kCheckInterval), EngineRequest::kCheckInterval);
    EXPECT_TRUE(spinning.limits().timedOut);
}

TEST(EngineRequest, UnitsReachTheRequestOfTheirThreadThroughTheScanReport) {
    host::ScanReport* report = host::ScanReport::create();
    report->LimitReached("emulation steps");  // outside any request: ignored, no crash
    {
        EngineRequest outer;
        {
            EngineRequest inner;
            report->UnitStarted("CScanInner");
            report->LimitReached("emulation steps");
            EXPECT_EQ(inner.limits().reached, std::vector<std::string>{"emulation steps (CScanInner)"});
        }
        EXPECT_EQ(EngineRequest::current(), &outer) << "an ended request gives its thread back";
        report->LimitReached("emulation steps");
        EXPECT_EQ(outer.limits().reached, std::vector<std::string>{"emulation steps"}) << "no unit named yet";
        std::thread([&] {
            EXPECT_EQ(EngineRequest::current(), nullptr);
            report->LimitReached("size");  // another thread's report never lands here
        }).join();
        EXPECT_EQ(outer.limits().reached.size(), 1u);
    }
    EXPECT_EQ(EngineRequest::current(), nullptr);
    report->Release();
}

}  // namespace
