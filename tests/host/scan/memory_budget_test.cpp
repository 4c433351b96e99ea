// The memory budget that all scan workers share.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "host/scan/memory_budget.h"

namespace {

TEST(MemoryBudget, AFileLargerThanTheBudgetRunsAlone) {
    host::MemoryBudget budget(100);
    ASSERT_TRUE(budget.tryAcquire(150));  // nothing else held: it may run
    EXPECT_FALSE(budget.tryAcquire(1));   // and nothing runs beside it
    std::atomic<bool> acquired{false};
    std::thread small([&] {
        budget.acquire(10);
        acquired = true;
    });
    for (int k = 0; k < 2000 && !budget.othersWaiting(); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(budget.othersWaiting());
    EXPECT_FALSE(acquired);
    budget.release(150);
    small.join();
    EXPECT_TRUE(acquired);
    EXPECT_EQ(budget.peak(), 150u);
    EXPECT_FALSE(budget.tryAcquire(91));  // 10 held
    EXPECT_TRUE(budget.tryAcquire(90));
}

}  // namespace
