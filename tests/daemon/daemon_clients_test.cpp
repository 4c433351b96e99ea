// Real clients against one configuration file that both sides read: Debian's clamdscan (plain,
// --stream, --fdpass, --multiscan, --ping, --version, --reload) and python3-pyclamd; and the
// remedy daemon command itself (becoming a daemon, its pid file, SIGTERM).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>

#include "tests/cli/cli_runner.h"
#include "tests/daemon/daemon_harness.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"
#include "tests/fixtures/kuku_infector.h"

namespace {

using namespace daemontest;
using clitest::quote;
using fixtures::Bytes;

uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// Every key the daemon reads, in the file clamdscan reads as well.
std::string configText(const fixtures::TempDir& dir, uint16_t port) {
    return "# remedy daemon and clamdscan share this file\n"
           "LocalSocket " + dir.file("remedy.sock").string() + "\n"
           "LocalSocketMode 660\n"
           "TCPSocket " + std::to_string(port) + "\n"
           "TCPAddr 127.0.0.1\n"
           "MaxThreads 2\nMaxQueue 50\nMaxConnectionQueueLength 30\nStreamMaxLength 20M\n"
           "ReadTimeout 10\nCommandReadTimeout 10\nIdleTimeout 10\n"
           "LogFile " + dir.file("daemon.log").string() + "\nLogTime yes\n"
           "PidFile " + dir.file("daemon.pid").string() + "\nForeground no\n";
}

void writeText(const std::filesystem::path& path, const std::string& text) {
    fixtures::writeFile(path, Bytes(text.begin(), text.end()));
}

struct ClientRun {
    int status = -1;
    std::string out;
};

ClientRun run(const fixtures::TempDir& dir, const std::string& command) {
    const std::string out = dir.file("client.out").string();
    const int raw = std::system((command + " >" + quote(out) + " 2>&1").c_str());
    return ClientRun{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, clitest::slurp(out)};
}

bool installed(const std::string& check) { return std::system((check + " >/dev/null 2>&1").c_str()) == 0; }

// A daemon that reads the shared file, and the fixture directories.
struct SharedConfig {
    fixtures::TempDir dir;
    std::string config = dir.file("remedy.conf").string();
    std::string infected = dir.file("infected").string(), clean = dir.file("clean").string();
    std::unique_ptr<DaemonRun> daemon;

    SharedConfig() {
        writeText(config, configText(dir, freePort()));
        std::filesystem::create_directories(infected);
        std::filesystem::create_directories(clean);
        fixtures::writeFile(infected + "/a.com", fixtures::dos::infectTmcBCom(fixtures::dos::makeCom(20000)));
        fixtures::writeFile(infected + "/k.exe",
                            fixtures::kuku::infect(fixtures::kuku::Loader::JumpRegister, fixtures::kuku::Body::ThreadCounted).file);
        fixtures::writeFile(infected + "/ok.com", fixtures::dos::makeCom(3000));
        fixtures::writeFile(clean + "/b.com", fixtures::dos::makeCom(4000));
        fixtures::writeFile(clean + "/p.exe", fixtures::kuku::cleanProgram());
        daemon = std::make_unique<DaemonRun>([&](service::DaemonConfig& c) {
            std::vector<std::string> unsupported;
            std::string error;
            if (!service::readConfigFile(config, &c, &unsupported, &error) || !unsupported.empty())
                throw std::runtime_error("the shared configuration: " + error);
        });
    }
    std::string kukuName() {
        const std::string reply = ask(*daemon, "nSCAN " + infected + "/k.exe\n");
        return reply.substr(reply.find(": ") + 2, reply.size() - reply.find(": ") - 9);
    }
};

TEST(DaemonClients, ClamdscanOverTheFixtureDirectories) {
    if (!installed("clamdscan --help")) GTEST_SKIP() << "clamdscan is not installed (scripts/setup.sh installs it)";
    SharedConfig shared;
    const std::string kuku = shared.kukuName();
    const std::string clamdscan = "clamdscan --no-summary --config-file=" + quote(shared.config) + " ";
    const std::string a = shared.infected + "/a.com: DOS.TmcBCOM FOUND\n";
    const std::string k = shared.infected + "/k.exe: " + kuku + " FOUND\n";
    struct Case {
        const char* options;
        std::string found;  // the lines for the infected directory
    };
    // A stream has no name, so a DOS program (known by its extension) is not recognised in one.
    for (const Case& c : std::vector<Case>{{"", a + k}, {"--multiscan", a + k}, {"--fdpass", a + k},
                                           {"--multiscan --fdpass", a + k}, {"--stream", k}, {"--multiscan --stream", k}}) {
        ClientRun infected = run(shared.dir, clamdscan + c.options + " " + quote(shared.infected));
        EXPECT_EQ(infected.status, 1) << c.options << "\n" << infected.out;
        EXPECT_EQ(infected.out, c.found) << c.options;
        ClientRun clean = run(shared.dir, clamdscan + c.options + " " + quote(shared.clean));
        EXPECT_EQ(clean.status, 0) << c.options << "\n" << clean.out;
        EXPECT_EQ(clean.out, shared.clean + ": OK\n") << c.options;
    }
    ClientRun ping = run(shared.dir, clamdscan + "--ping 1");
    EXPECT_EQ(ping.status, 0) << ping.out;
    ClientRun version = run(shared.dir, clamdscan + "--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(version.out.starts_with("remedy ")) << version.out;
    ClientRun reload = run(shared.dir, clamdscan + "--reload");
    EXPECT_EQ(reload.status, 0) << reload.out;
    EXPECT_TRUE(shared.daemon->parking.waitReached("reloaded", 1));
}

TEST(DaemonClients, PyclamdOverBothSockets) {
    if (!installed("/usr/bin/python3 -c 'import pyclamd'"))
        GTEST_SKIP() << "python3-pyclamd is not installed (scripts/setup.sh installs it)";
    SharedConfig shared;
    const std::string kuku = shared.kukuName();
    const std::string script = shared.dir.file("client.py").string();
    writeText(script, R"(import sys, pyclamd
sock, port, infected, clean = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
for c in (pyclamd.ClamdUnixSocket(sock), pyclamd.ClamdNetworkSocket('127.0.0.1', port)):
    print(c.ping(), c.version().split('/')[0])
    print(c.scan_stream(open(infected + '/k.exe', 'rb').read()), c.scan_stream(b'clean bytes'))
    print(c.scan_file(infected + '/a.com'), c.scan_file(clean + '/b.com'))
    print(sorted(c.multiscan_file(infected).items()), c.multiscan_file(clean))
    print(c.allmatchscan(infected + '/a.com'))
)");
    const std::string port = std::to_string(shared.daemon->server->tcpPort());
    ClientRun python = run(shared.dir, "/usr/bin/python3 " + quote(script) + " " + quote(shared.daemon->config.localSocket) + " " +
                                     port + " " + quote(shared.infected) + " " + quote(shared.clean));
    ASSERT_EQ(python.status, 0) << python.out;
    const std::string a = shared.infected + "/a.com", k = shared.infected + "/k.exe";
    const std::string each = "True remedy 1.0.0.0\n"
                             "{'stream': ('FOUND', '" + kuku + "')} None\n"
                             "{'" + a + "': ('FOUND', 'DOS.TmcBCOM')} None\n"
                             "[('" + a + "', ('FOUND', 'DOS.TmcBCOM')), ('" + k + "', ('FOUND', '" + kuku + "'))] None\n"
                             "{'" + a + "': [('FOUND', 'DOS.TmcBCOM')]}\n";
    EXPECT_EQ(python.out, each + each);
}

// The command as operators start it: it becomes a daemon, writes its pid file, says which keys
// it does not support, and on SIGTERM drains, removes its socket and pid file and exits.
TEST(DaemonClients, TheDaemonCommandRunsAndStopsOnSigterm) {
    fixtures::TempDir dir;
    const std::string config = dir.file("remedy.conf").string();
    writeText(config, configText(dir, freePort()) + "DatabaseDirectory /var/lib/clamav\n");
    ClientRun started = run(dir, quote(REMEDY_CLI_PATH) + " daemon --config-file " + quote(config));
    ASSERT_EQ(started.status, 0) << started.out;
    EXPECT_NE(started.out.find("line 17: DatabaseDirectory is not supported by remedy daemon; ignored"), std::string::npos)
        << started.out;
    const std::string pidText = clitest::slurp(dir.file("daemon.pid"));
    const pid_t pid = pid_t(std::stol(pidText));
    ASSERT_GT(pid, 1);
    Client client = Client::local(dir.file("remedy.sock").string());
    client.send("nPING\n");
    EXPECT_EQ(client.readAll(), "PONG\n");
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    // The daemon is not this process's child: wait for its pid file to go, within the limit.
    const Clock::time_point deadline = Clock::now() + kWaitLimit;
    while (std::filesystem::exists(dir.file("daemon.pid")) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(std::filesystem::exists(dir.file("daemon.pid")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("remedy.sock")));
    const std::string log = clitest::slurp(dir.file("daemon.log"));
    EXPECT_NE(log.find("received Terminated: stopping"), std::string::npos) << log;
    EXPECT_NE(log.find("stopped after 1 requests"), std::string::npos) << log;

    // The command line overrides the file's sockets (here: another Unix socket, no TCP port).
    const std::string other = dir.file("other.sock").string();
    ClientRun overridden = run(dir, quote(REMEDY_CLI_PATH) + " daemon --config-file " + quote(config) +
                                        " --local-socket " + quote(other) + " --tcp-socket " +
                                        std::to_string(freePort()));
    ASSERT_EQ(overridden.status, 0) << overridden.out;
    EXPECT_FALSE(std::filesystem::exists(dir.file("remedy.sock")));
    Client overriddenClient = Client::local(other);
    overriddenClient.send("nSHUTDOWN\n");
    EXPECT_TRUE(overriddenClient.closedByDaemon());
    const Clock::time_point stopDeadline = Clock::now() + kWaitLimit;
    while (std::filesystem::exists(dir.file("daemon.pid")) && Clock::now() < stopDeadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));

    // Nothing to listen on: a usage error.
    ClientRun nothing = run(dir, quote(REMEDY_CLI_PATH) + " daemon --foreground");
    EXPECT_EQ(nothing.status, 2);
    EXPECT_NE(nothing.out.find("give LocalSocket or TCPSocket"), std::string::npos) << nothing.out;
}

// Under systemd's socket activation the daemon serves on the socket it is handed.
TEST(DaemonClients, TakesTheSocketAServiceManagerOpened) {
    if (!installed("systemd-socket-activate --version"))
        GTEST_SKIP() << "systemd-socket-activate is not installed (package systemd)";
    fixtures::TempDir dir;
    const std::string config = dir.file("remedy.conf").string(), socket = dir.file("remedy.sock").string();
    writeText(config, "LocalSocket " + socket + "\nPidFile " + dir.file("daemon.pid").string() + "\nLogFile " +
                          dir.file("daemon.log").string() + "\n");
    ASSERT_EQ(std::system(("systemd-socket-activate -l " + quote(socket) + " " + quote(REMEDY_CLI_PATH) +
                           " daemon --foreground --config-file " + quote(config) + " >" +
                           quote(dir.file("activate.out").string()) + " 2>&1 &")
                              .c_str()),
              0);
    // The manager makes the socket; the first connection starts the daemon on it.
    const Clock::time_point deadline = Clock::now() + kWaitLimit;
    while (!std::filesystem::exists(socket) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Client client = Client::local(socket);
    client.send("nPING\n");
    EXPECT_EQ(client.readAll(), "PONG\n");
    EXPECT_TRUE(std::filesystem::exists(dir.file("daemon.pid")));
    Client stop = Client::local(socket);
    stop.send("nSHUTDOWN\n");
    EXPECT_TRUE(stop.closedByDaemon());
    while (std::filesystem::exists(dir.file("daemon.pid")) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(std::filesystem::exists(dir.file("daemon.pid")));
    const std::string log = clitest::slurp(dir.file("daemon.log"));
    EXPECT_NE(log.find("listening on the Unix socket the service manager passed"), std::string::npos) << log;
}

}  // namespace
