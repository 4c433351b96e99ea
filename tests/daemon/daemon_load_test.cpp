// Many clients at once: 64 concurrent clients, each a bounded number of INSTREAM requests of
// infected and clean samples, with RELOAD in the middle: every reply right, no descriptor kept.
// Then SHUTDOWN under load: every request taken is answered right; later ones are refused.
#include <gtest/gtest.h>

#include <atomic>

#include "tests/daemon/daemon_harness.h"
#include "tests/fixtures/dos_programs.h"
#include "tests/fixtures/kuku_infector.h"

namespace {

using namespace daemontest;
using fixtures::Bytes;

const std::string z(1, '\0');
constexpr size_t kClients = 64;
constexpr size_t kRequestsEach = 6;

struct Sample {
    Bytes bytes;
    std::string reply;
};

std::vector<Sample> samples(const DaemonRun& daemon) {
    const Bytes infected = fixtures::kuku::infect(fixtures::kuku::Loader::JumpRegister, fixtures::kuku::Body::ThreadCounted).file;
    std::vector<Sample> list = {{infected, ask(daemon, instream(infected))},
                                {fixtures::kuku::cleanProgram(), "stream: OK" + z},
                                {fixtures::dos::makeCom(30000), "stream: OK" + z},
                                {Bytes(200000, 0x90), "stream: OK" + z}};
    return list;
}

TEST(DaemonLoad, SixtyFourClientsAtOnce) {
    DaemonRun daemon([](service::DaemonConfig& c) { c.maxQueue = kClients; });
    const std::vector<Sample> list = samples(daemon);
    ASSERT_TRUE(list[0].reply.ends_with(" FOUND" + z)) << list[0].reply;
    ASSERT_TRUE(daemon.parking.waitReached("closed", 1));
    const size_t before = openDescriptors();
    std::atomic<size_t> wrong{0}, done{0};
    std::vector<std::thread> clients;
    for (size_t c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (size_t r = 0; r < kRequestsEach; ++r) {
                const Sample& sample = list[(c + r) % list.size()];
                try {
                    if (ask(daemon, instream(sample.bytes, 8192)) != sample.reply) ++wrong;
                } catch (const std::exception&) {
                    ++wrong;
                }
                ++done;
            }
        });
        if (c == kClients / 2) {
            EXPECT_EQ(ask(daemon, "nRELOAD\n"), "RELOADING\n");  // rules swapped under load
        }
    }
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(done.load(), kClients * kRequestsEach);
    EXPECT_EQ(wrong.load(), 0u);
    ASSERT_TRUE(daemon.parking.waitReached("reloaded", 1));
    ASSERT_TRUE(daemon.parking.waitReached("closed", 1 + kClients * kRequestsEach + 1));
    EXPECT_EQ(openDescriptors(), before);
    // The file contents the workers held stayed within the budget.
    EXPECT_LE(daemon.server->pool().budget().peak(), daemon.server->pool().budget().limit());
}

TEST(DaemonLoad, ShutdownUnderLoadAnswersWhatItTook) {
    DaemonRun daemon([](service::DaemonConfig& c) { c.maxQueue = kClients; });
    const std::vector<Sample> list = samples(daemon);
    std::atomic<size_t> answered{0}, refused{0}, wrong{0};
    std::vector<std::thread> clients;
    for (size_t c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (size_t r = 0; r < kRequestsEach; ++r) {
                const Sample& sample = list[(c + r) % list.size()];
                std::string reply;
                try {
                    reply = ask(daemon, instream(sample.bytes, 8192));
                } catch (const std::exception&) {  // the socket is gone: the daemon stopped
                    ++refused;
                    continue;
                }
                if (reply == sample.reply) ++answered;
                else if (reply.empty()) ++refused;  // connected as the daemon stopped taking commands
                else ++wrong;
            }
        });
    }
    ASSERT_TRUE(daemon.parking.waitReached("replied", kClients));
    EXPECT_EQ(ask(daemon, "nSHUTDOWN\n"), "");
    for (std::thread& client : clients) client.join();
    daemon.thread.join();
    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_EQ(answered + refused, kClients * kRequestsEach);
    EXPECT_GE(answered.load(), kClients);
}

}  // namespace
