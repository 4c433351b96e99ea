// The daemon's scan slots: a job runs on the connection's own thread only when a slot is free,
// and the memory a slot keeps between files travels with the slot, not with a thread.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "daemon/worker_pool.h"
#include "host/module_host.h"
#include "host/qxbase/file_object.h"
#include "tests/fixtures/bytes.h"

namespace {

constexpr size_t kFileBytes = 100 * 1024;  // read into memory, not mapped

class WorkerPoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        service::WorkerPool::Setup setup;
        setup.module = host::Module::load(REMEDY_MODULE_PATH, &error);
        ASSERT_NE(setup.module, nullptr) << error;
        setup.virusName = [](uint32_t) { return std::string(); };
        setup.threads = 1;
        setup.maxQueue = 2;
        pool = service::WorkerPool::create(setup, &error);
        ASSERT_NE(pool, nullptr) << error;
        fixtures::writeFile(path, fixtures::Bytes(kFileBytes, 'a'));
    }

    // A job that reads the file through the slot's memory, as the daemon's requests do.
    service::WorkerPool::Job scanning(std::thread::id* ranOn) {
        return [this, ranOn](host::FileScanner& scanner, host::WorkerMemory& memory) {
            host::ScanSettings settings;
            settings.memory = &memory;
            EXPECT_FALSE(scanner.scanPath(path, settings).failed);
            *ranOn = std::this_thread::get_id();
        };
    }

    fixtures::TempDir dir;
    std::string path = dir.file("plain.txt").string();
    std::unique_ptr<service::WorkerPool> pool;
};

TEST_F(WorkerPoolTest, AJobRunsHereWhenASlotIsFreeAndItsStoreStaysWithTheSlot) {
    std::thread::id ranOn;
    ASSERT_TRUE(pool->runHere(scanning(&ranOn)));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    // The file's store went back to the slot: this thread keeps nothing.
    EXPECT_EQ(host::FileObject::takeSpareBytes().capacity(), 0u);

    // The worker thread that takes the slot next finds the store there.
    std::promise<size_t> kept;
    ASSERT_EQ(pool->submit(
                  [&](host::FileScanner&, host::WorkerMemory&) {
                      std::vector<uint8_t> store = host::FileObject::takeSpareBytes();
                      kept.set_value(store.capacity());
                      host::FileObject::keepSpareBytes(std::move(store));
                  },
                  false),
              service::WorkerPool::Submitted::Queued);
    auto answer = kept.get_future();
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_GE(answer.get(), kFileBytes);
}

TEST_F(WorkerPoolTest, NoJobRunsHereWhileEverySlotIsTaken) {
    std::promise<void> started, release;
    std::shared_future<void> released = release.get_future().share();
    std::thread::id workerThread;
    ASSERT_EQ(pool->submit(
                  [&](host::FileScanner&, host::WorkerMemory&) {
                      workerThread = std::this_thread::get_id();
                      started.set_value();
                      released.wait();
                  },
                  false),
              service::WorkerPool::Submitted::Queued);
    ASSERT_EQ(started.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);

    bool ran = false;
    EXPECT_FALSE(pool->runHere([&](host::FileScanner&, host::WorkerMemory&) { ran = true; }));
    EXPECT_FALSE(ran);
    // A job that finds no slot free is queued for the workers instead.
    std::thread::id queuedRanOn;
    ASSERT_EQ(pool->submit(scanning(&queuedRanOn), false), service::WorkerPool::Submitted::Queued);
    release.set_value();
    pool->stop();  // runs what is queued
    EXPECT_EQ(queuedRanOn, workerThread);
}

}  // namespace
