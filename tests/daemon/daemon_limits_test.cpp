// Limits and hostile clients: StreamMaxLength, the read, command and idle timeouts, a full
// queue, clients that vanish mid-stream, garbage and oversized commands, descriptors that must
// not leak; RELOAD and SHUTDOWN while requests are under way.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <regex>

#include "tests/daemon/daemon_harness.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"

namespace {

using namespace daemontest;
using fixtures::Bytes;

const std::string z(1, '\0');

Bytes filler(size_t size) { return Bytes(size, 'x'); }

TEST(DaemonLimits, StreamLongerThanStreamMaxLengthIsRefused) {
    DaemonRun daemon([](service::DaemonConfig& c) { c.streamMaxLength = 1000; });
    EXPECT_EQ(ask(daemon, instream(filler(1000), 300)), "stream: OK" + z);
    // Over the limit across chunks, and in one hostile length: the error, then the connection ends.
    EXPECT_EQ(ask(daemon, instream(filler(1001), 300)), "INSTREAM size limit exceeded. ERROR" + z);
    EXPECT_EQ(ask(daemon, "zINSTREAM" + z + bigEndian(0xFFFFFFFF) + "abc"), "INSTREAM size limit exceeded. ERROR" + z);
    Client session = Client::local(daemon.config.localSocket);
    session.send("zIDSESSION" + z + instream(filler(2000), 2000) + "zPING" + z);
    EXPECT_EQ(session.readAll(), "1: INSTREAM size limit exceeded. ERROR" + z);
}

TEST(DaemonLimits, SlowClientsAreDroppedWithoutHoldingAWorker) {
    DaemonRun daemon([](service::DaemonConfig& c) {
        c.maxThreads = 1;
        c.commandReadTimeout = 1;
        c.readTimeout = 1;
        c.idleTimeout = 1;
    });
    // A command sent a byte at a time, slower than CommandReadTimeout allows for the whole of it.
    Client loris = Client::local(daemon.config.localSocket);
    // Meanwhile the only worker serves others.
    EXPECT_EQ(ask(daemon, instream(filler(10))), "stream: OK" + z);
    bool dropped = false;
    for (char byte : std::string("nVERSIONCOMMANDS\n")) {
        if (!loris.send(std::string(1, byte))) {
            dropped = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the client's pace, not a wait for the daemon
    }
    EXPECT_TRUE(dropped || loris.closedByDaemon());
    EXPECT_TRUE(loris.closedByDaemon());

    // A stream that stops mid-chunk, and a session that goes idle, are closed too.
    Client stalled = Client::local(daemon.config.localSocket);
    stalled.send("zINSTREAM" + z + bigEndian(100) + "only some");
    EXPECT_EQ(stalled.readAll(), "");
    EXPECT_TRUE(stalled.closedByDaemon());
    Client idle = Client::local(daemon.config.localSocket);
    idle.send("zIDSESSION" + z + "zPING" + z);
    EXPECT_EQ(idle.readAll(), "1: PONG" + z);
    EXPECT_TRUE(idle.closedByDaemon());
    const std::string log = daemon.log();
    EXPECT_NE(log.find("command read timed out"), std::string::npos) << log;
    EXPECT_NE(log.find("stalled during INSTREAM"), std::string::npos) << log;
    EXPECT_NE(log.find("session idle too long"), std::string::npos) << log;
}

TEST(DaemonLimits, AFullQueueIsAnsweredNotGrown) {
    DaemonRun daemon([](service::DaemonConfig& c) {
        c.maxThreads = 1;
        c.maxQueue = 1;
    });
    daemon.parking.parkAt("scanning");
    // Request 1 holds the only worker, request 2 fills the queue, request 3 has no room.
    // Request 2's first byte comes with request 1, so request 1 goes to the queue too (a session
    // runs a request on its own thread only when nothing more was sent).
    Client session = Client::local(daemon.config.localSocket);
    const std::string request2 = instream(filler(20));
    session.send("zIDSESSION" + z + instream(filler(10)) + request2.substr(0, 1));
    ASSERT_TRUE(daemon.parking.waitParked());
    session.send(request2.substr(1));
    ASSERT_TRUE(daemon.parking.waitReached("queued", 2));
    session.send(instream(filler(30)));
    EXPECT_EQ(session.readReplies(1, '\0'), "3: MAX QUEUE EXCEEDED. ERROR" + z);
    // A connection for each worker and each place in the queue: one more is told at once.
    Client second = Client::local(daemon.config.localSocket);
    Client third = Client::local(daemon.config.localSocket);
    EXPECT_EQ(third.readAll(), "MAX QUEUE EXCEEDED. ERROR\n");
    daemon.parking.release();
    EXPECT_EQ(session.readAll(), "1: stream: OK" + z + "2: stream: OK" + z);
}

// A client that saw its connection end may connect again at once: the place it held is free
// before it sees the end, even while the server's thread for it is still finishing.
TEST(DaemonLimits, AnEndedConnectionFreesItsPlaceBeforeTheClientSeesTheEnd) {
    DaemonRun daemon([](service::DaemonConfig& c) {
        c.maxThreads = 1;
        c.maxQueue = 1;
    });
    daemon.parking.parkAt("closed");
    EXPECT_EQ(ask(daemon, "nPING\n"), "PONG\n");
    ASSERT_TRUE(daemon.parking.waitParked());
    Client first = Client::local(daemon.config.localSocket), second = Client::local(daemon.config.localSocket);
    for (Client* client : {&first, &second}) {
        client->send("nPING\n");
        EXPECT_EQ(client->readReplies(1, '\n'), "PONG\n");
    }
    daemon.parking.release();
}

TEST(DaemonLimits, GarbageAndOversizedCommandsAreAnswered) {
    DaemonRun daemon;
    const std::vector<std::pair<std::string, std::string>> table = {
        {std::string("\x01\x02\xff\x00garbage", 11), "UNKNOWN COMMAND\n"},
        {"z" + std::string(100000, 'A'), "COMMAND TOO LONG. ERROR\n"},
        {std::string(100000, 'B'), "COMMAND TOO LONG. ERROR\n"},
        {"nSCAN\n", ": Path must be absolute. ERROR\n"},
        {"zFILDES" + z + "no descriptor", "FILDES: no descriptor received. ERROR" + z},
    };
    for (const auto& [request, reply] : table) {
        Client gone = Client::local(daemon.config.localSocket);
        gone.send(request);
        gone.close();  // the client is gone before the reply
        Client client = Client::local(daemon.config.localSocket);
        client.send(request);
        EXPECT_EQ(client.readAll(), reply) << request.substr(0, 20);
    }
    EXPECT_EQ(ask(daemon, "nPING\n"), "PONG\n");
}

// A client gone in the middle of a stream, with the connection parked right after a chunk.
TEST(DaemonLimits, AClientVanishingMidStreamFreesEverything) {
    DaemonRun daemon;
    EXPECT_EQ(ask(daemon, "nPING\n"), "PONG\n");  // the daemon's own descriptors are all open now
    ASSERT_TRUE(daemon.parking.waitReached("closed", 1));
    const size_t before = openDescriptors();
    daemon.parking.parkAt("chunk");
    {
        Client client = Client::local(daemon.config.localSocket);
        client.send("zINSTREAM" + z + bigEndian(4) + "abcd" + bigEndian(1000) + "part of the next");
        ASSERT_TRUE(daemon.parking.waitParked());
    }
    daemon.parking.release();
    ASSERT_TRUE(daemon.parking.waitReached("closed", 2));
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(daemon.parking.reached("queued"), 0u);  // nothing of it reached a worker
    EXPECT_EQ(ask(daemon, "nPING\n"), "PONG\n");
}

TEST(DaemonLimits, NoDescriptorLeaksOverManyRequests) {
    DaemonRun daemon;
    const std::string sample = daemon.dir.file("a.com").string();
    fixtures::writeFile(sample, fixtures::dos::infectTmcBCom(fixtures::dos::makeCom(20000)));
    EXPECT_EQ(ask(daemon, "nPING\n"), "PONG\n");
    ASSERT_TRUE(daemon.parking.waitReached("closed", 1));
    const size_t before = openDescriptors();
    size_t connections = 1;
    for (int round = 0; round < 40; ++round) {
        EXPECT_EQ(ask(daemon, instream(filler(5000), 1000)), "stream: OK" + z);
        EXPECT_EQ(ask(daemon, "nSCAN " + sample + "\n"), sample + ": DOS.TmcBCOM FOUND\n");
        // Three descriptors in one message where FILDES takes one: the others are closed.
        const int fd = ::open(sample.c_str(), O_RDONLY | O_CLOEXEC);
        Client client = Client::local(daemon.config.localSocket);
        client.send("nFILDES\n");
        client.sendDescriptors({fd, fd, fd});
        ::close(fd);
        const std::string reply = client.readAll();
        EXPECT_TRUE(reply.ends_with(": DOS.TmcBCOM FOUND\n")) << reply;
        Client vanishing = Client::local(daemon.config.localSocket);
        vanishing.send("zINSTREAM" + z + bigEndian(100));
        vanishing.close();
        connections += 4;
    }
    ASSERT_TRUE(daemon.parking.waitReached("closed", connections));
    EXPECT_EQ(openDescriptors(), before);
}

// A rule of the test's own, to tell the rule sets apart.
void writeRule(const std::filesystem::path& file, const std::string& name, const std::string& body = "") {
    const std::string text = body.empty() ? "rule " + name + " {\n meta:\n  virus_id = 0x7E570001\n strings:\n  $m = \"REMEDY-TEST-MARKER\"\n condition:\n  $m\n}\n" : body;
    fixtures::writeFile(file, Bytes(text.begin(), text.end()));
}

TEST(DaemonLimits, ReloadSwapsRulesBetweenScansAndKeepsThemWhenNewOnesFail) {
    fixtures::TempDir rules;
    writeRule(rules.file("mine.yar"), "Marker_Old");
    DaemonRun daemon([&](service::DaemonConfig& c) { c.userRules = {rules.path()}; });
    const std::string marked = "zINSTREAM" + z + bigEndian(18) + "REMEDY-TEST-MARKER" + bigEndian(0);
    EXPECT_EQ(ask(daemon, marked), "stream: Marker_Old FOUND" + z);

    // A scan under way when the rules change finishes with the rules it began with.
    daemon.parking.parkAt("scanning");
    Client inFlight = Client::local(daemon.config.localSocket);
    inFlight.send(marked);
    ASSERT_TRUE(daemon.parking.waitParked());
    writeRule(rules.file("mine.yar"), "Marker_New");
    EXPECT_EQ(ask(daemon, "nRELOAD\n"), "RELOADING\n");
    ASSERT_TRUE(daemon.parking.waitReached("reloaded", 1));
    daemon.parking.release();
    EXPECT_EQ(inFlight.readAll(), "stream: Marker_Old FOUND" + z);
    EXPECT_EQ(ask(daemon, marked), "stream: Marker_New FOUND" + z);
    EXPECT_NE(ask(daemon, "nVERSION\n").find("/2/"), std::string::npos);

    // Rules that do not compile: the old set stays and the log says why.
    writeRule(rules.file("mine.yar"), "", "rule Broken { condition: nonsense( }\n");
    EXPECT_EQ(ask(daemon, "nRELOAD\n"), "RELOADING\n");
    ASSERT_TRUE(daemon.parking.waitReached("reloaded", 2));
    EXPECT_EQ(ask(daemon, marked), "stream: Marker_New FOUND" + z);
    EXPECT_NE(ask(daemon, "nVERSION\n").find("/2/"), std::string::npos);
    EXPECT_NE(daemon.log().find("reload failed, the rules in use stay: "), std::string::npos) << daemon.log();
}

TEST(DaemonLimits, ShutdownDrainsRequestsUnderWay) {
    DaemonRun daemon;
    daemon.parking.parkAt("scanning");
    Client working = Client::local(daemon.config.localSocket);
    working.send(instream(filler(100)));
    ASSERT_TRUE(daemon.parking.waitParked());
    Client waiting = Client::local(daemon.config.localSocket);  // connected, no command yet
    EXPECT_EQ(ask(daemon, "nSHUTDOWN\n"), "");
    // The waiting connection is closed without a command; no new connection is taken on either
    // socket while the drain goes on; the scan under way is answered.
    EXPECT_TRUE(waiting.closedByDaemon());
    EXPECT_THROW(Client::local(daemon.config.localSocket), std::runtime_error);
    EXPECT_THROW(Client::tcp(daemon.server->tcpPort()), std::runtime_error);
    daemon.parking.release();
    EXPECT_EQ(working.readAll(), "stream: OK" + z);
    daemon.thread.join();  // run() returned: the drain finished
    EXPECT_THROW(Client::local(daemon.config.localSocket), std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(daemon.config.localSocket));
}

}  // namespace
