// Real clients against one configuration file that both sides read: Debian's clamdscan (plain,
// --stream, --fdpass, --multiscan, --ping, --version, --reload), python3-pyclamd and the Node
// client clamdjs; c-icap's virus_scan service on the daemon's socket; two daemons behind HAProxy;
// and the remedy daemon command itself (becoming a daemon, its pid file, SIGTERM).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <iostream>
#include <sstream>

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

// True once `ready` holds, checked every 20 ms within the wait limit.
bool waitFor(const std::function<bool()>& ready) {
    const Clock::time_point deadline = Clock::now() + kWaitLimit;
    while (!ready()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool listening(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

// A server the test starts in the foreground as its child (output to a file) and stops with
// SIGTERM, then SIGKILL when it has not exited within the wait limit.
class ChildServer {
public:
    ChildServer(const std::vector<std::string>& argv, const std::string& outFile) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        if (::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ChildServer() { stop(); }
    bool running() {
        if (pid_ <= 0) return false;
        if (::waitpid(pid_, &status_, WNOHANG) == 0) return true;
        pid_ = -1;
        return false;
    }
    // The exit status, or -1 when it did not exit by itself within the wait limit.
    int waitExit() {
        if (!waitFor([&] { return !running(); })) return -1;
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    void stop() {
        if (!running()) return;
        ::kill(pid_, SIGTERM);
        if (waitExit() == -1 && running()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status_, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    int status_ = 0;
};

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
    EXPECT_TRUE(version.out.starts_with("ClamAV-compatible remedy ")) << version.out;
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
    const std::string each = "True ClamAV-compatible remedy 1.0.0.0\n"
                             "{'stream': ('FOUND', '" + kuku + "')} None\n"
                             "{'" + a + "': ('FOUND', 'DOS.TmcBCOM')} None\n"
                             "[('" + a + "', ('FOUND', 'DOS.TmcBCOM')), ('" + k + "', ('FOUND', '" + kuku + "'))] None\n"
                             "{'" + a + "': [('FOUND', 'DOS.TmcBCOM')]}\n";
    EXPECT_EQ(python.out, each + each);
}

// c-icap's virus_scan service with its clamd engine on the daemon's Unix socket: a download of an
// infected program gets the virus-found answer, a clean one passes unchanged (204).
TEST(DaemonClients, CIcapVirusScanAsksTheDaemon) {
    const std::string modules = "/usr/lib/x86_64-linux-gnu/c_icap";
    if (!installed("command -v c-icap") || !installed("command -v c-icap-client") ||
        !std::filesystem::exists(modules + "/clamd_mod.so") || !std::filesystem::exists(modules + "/virus_scan.so"))
        GTEST_SKIP() << "c-icap, c-icap-client or libc-icap-mod-virus-scan is not installed (scripts/setup.sh installs them)";
    SharedConfig shared;
    const std::string kuku = shared.kukuName();
    const uint16_t port = freePort();
    const std::string config = shared.dir.file("c-icap.conf").string();
    writeText(config, "PidFile " + shared.dir.file("c-icap.pid").string() + "\n"
                      "CommandsSocket " + shared.dir.file("c-icap.ctl").string() + "\n"
                      "Port 127.0.0.1:" + std::to_string(port) + "\n"
                      "StartServers 1\nMaxServers 1\nThreadsPerChild 2\nMinSpareThreads 1\nMaxSpareThreads 2\n"
                      "TmpDir " + shared.dir.path().string() + "\n"
                      "ServerLog " + shared.dir.file("c-icap-server.log").string() + "\n"
                      "AccessLog " + shared.dir.file("c-icap-access.log").string() + "\n"
                      "ModulesDir " + modules + "\nServicesDir " + modules + "\n"
                      "LoadMagicFile /etc/c-icap/c-icap.magic\n"
                      // The service first: the engine module registers itself with it.
                      "Service virus_scan virus_scan.so\n"
                      "virus_scan.ScanFileTypes TEXT DATA EXECUTABLE ARCHIVE\n"
                      "virus_scan.Allow204Responces on\n"
                      "Module common clamd_mod.so\n"
                      "clamd_mod.ClamdSocket " + shared.daemon->config.localSocket + "\n"
                      "virus_scan.DefaultEngine clamd\n");
    ChildServer icap({"c-icap", "-N", "-f", config}, shared.dir.file("c-icap.out").string());
    ASSERT_TRUE(waitFor([&] { return listening(port) || !icap.running(); }) && icap.running())
        << clitest::slurp(shared.dir.file("c-icap.out")) << clitest::slurp(shared.dir.file("c-icap-server.log"));
    // mode=simple: the service scans the whole object before it answers, so a virus found replaces the answer.
    const std::string client = "c-icap-client -i 127.0.0.1 -p " + std::to_string(port) +
                               " -s 'virus_scan?allow204=on&sizelimit=off&mode=simple' -v -f ";
    ClientRun infected = run(shared.dir, client + quote(shared.infected + "/k.exe") + " -resp http://example.test/k.exe");
    EXPECT_NE(infected.out.find("X-Infection-Found: Type=0; Resolution=2; Threat=" + kuku + ";"), std::string::npos)
        << infected.out << clitest::slurp(shared.dir.file("c-icap-server.log")) << shared.daemon->log();
    ClientRun clean = run(shared.dir, client + quote(shared.clean + "/p.exe") + " -resp http://example.test/p.exe");
    EXPECT_NE(clean.out.find("ICAP/1.0 204"), std::string::npos) << clean.out;
    EXPECT_EQ(clean.out.find("X-Infection-Found"), std::string::npos) << clean.out;
    icap.stop();
    // c-icap accepts the VERSION reply (it requires the "ClamAV" prefix).
    EXPECT_EQ(clitest::slurp(shared.dir.file("c-icap-server.log")).find("Wrong response"), std::string::npos);
    EXPECT_NE(shared.daemon->log().find(kuku + " FOUND"), std::string::npos) << shared.daemon->log();
}

// The Node client clamdjs from the npm registry, installed under the build tree on first use:
// ping, version and INSTREAM scans of an infected program and of clean bytes over TCP.
TEST(DaemonClients, ClamdjsFromNpm) {
    if (!installed("node --version") || !installed("npm --version"))
        GTEST_SKIP() << "node or npm is not installed (scripts/setup.sh installs them)";
    const std::filesystem::path modules = std::filesystem::path(REMEDY_CLI_PATH).parent_path().parent_path() / "node-clients";
    if (!std::filesystem::exists(modules / "node_modules/clamdjs/index.js") &&
        !installed("timeout 120 npm install --no-audit --no-fund --prefix " + quote(modules.string()) + " clamdjs@1.0.2"))
        GTEST_SKIP() << "npm could not install clamdjs (no network or no registry?)";
    SharedConfig shared;
    const std::string kuku = shared.kukuName();
    const std::string script = shared.dir.file("client.js").string();
    writeText(script, R"(const clamd = require('clamdjs'), fs = require('fs');
const [port, infected] = [Number(process.argv[2]), process.argv[3]];
(async () => {
    const scanner = clamd.createScanner('127.0.0.1', port);
    console.log(await clamd.ping('127.0.0.1', port, 5000), (await clamd.version('127.0.0.1', port, 5000)).split('/')[0]);
    const found = await scanner.scanBuffer(fs.readFileSync(infected), 5000, 4096);
    const clean = await scanner.scanBuffer(Buffer.from('clean bytes'), 5000, 4096);
    console.log(JSON.stringify(found), clamd.isCleanReply(found));  // a z-command's reply ends in a NUL
    console.log(JSON.stringify(clean), clamd.isCleanReply(clean));
})().catch((error) => { console.log('error:', error.message); process.exit(3); });
)");
    ClientRun node = run(shared.dir, "NODE_PATH=" + quote((modules / "node_modules").string()) + " timeout 60 node " +
                                         quote(script) + " " + std::to_string(shared.daemon->server->tcpPort()) + " " +
                                         quote(shared.infected + "/k.exe"));
    ASSERT_EQ(node.status, 0) << node.out;
    EXPECT_EQ(node.out, "true ClamAV-compatible remedy 1.0.0.0\n\"stream: " + kuku + " FOUND\\u0000\" false\n\"stream: OK\\u0000\" true\n");
}

// What HAProxy's stats say of each server of the backend, by server name.
struct ServerStats {
    int sessions = 0;      // served by it so far (health checks are not sessions)
    int redispatched = 0;  // refused by it and sent to another server
    int open = 0;      // open now
    std::string state;  // UP, DOWN
};

std::map<std::string, ServerStats> backendStats(const std::string& statsSocket) {
    Client stats = Client::local(statsSocket);
    stats.send("show stat\n");
    std::map<std::string, ServerStats> servers;
    std::istringstream lines(stats.readAll());
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> field;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, ',');) field.push_back(cell);
        if (field.size() > 17 && field[0] == "remedy" && field[1].starts_with("remedy-"))
            servers[field[1]] = ServerStats{std::stoi(field[7]) - std::stoi(field[16]), std::stoi(field[16]),
                                            std::stoi(field[4]), field[17]};
    }
    return servers;
}

std::string states(const std::map<std::string, ServerStats>& servers) {
    std::string text;
    for (const auto& [name, server] : servers) text += name + " " + server.state + " ";
    return text;
}

// Two daemons behind HAProxy; clamdscan --stream goes through it over a few hundred files while
// the first daemon is stopped by its pid. clamdscan reads its file list from a pipe: the test
// gives it half the list, waits until HAProxy has seen those requests end, stops the daemon,
// waits until it no longer takes connections, then gives the rest. No answer is lost.
TEST(DaemonClients, TwoDaemonsBehindHaproxyLoseNoRequestWhenOneStops) {
    if (!installed("clamdscan --help") || !installed("command -v haproxy"))
        GTEST_SKIP() << "clamdscan or haproxy is not installed (scripts/setup.sh installs them)";
    fixtures::TempDir dir, first, second;
    // A daemon still running when the test ends early is stopped by its pid file.
    struct StopLeftDaemons {
        const fixtures::TempDir* homes[2];
        ~StopLeftDaemons() {
            for (const fixtures::TempDir* home : homes)
                if (std::filesystem::exists(home->file("daemon.pid")))
                    ::kill(pid_t(std::stol("0" + clitest::slurp(home->file("daemon.pid")))), SIGTERM);
        }
    } stopLeftDaemons{{&first, &second}};
    const uint16_t ports[] = {freePort(), freePort(), freePort()};
    for (int k = 0; k < 2; ++k) {
        const fixtures::TempDir& home = k == 0 ? first : second;
        writeText(home.file("remedy.conf"), configText(home, ports[k + 1]));
        ClientRun started = run(dir, quote(REMEDY_CLI_PATH) + " daemon --config-file " + quote(home.file("remedy.conf")));
        ASSERT_EQ(started.status, 0) << started.out;
    }
    const std::string stats = dir.file("haproxy.sock").string();
    writeText(dir.file("haproxy.cfg"),
              "global\n    stats socket " + stats + " mode 600 level admin\n"
              "defaults\n    mode tcp\n    timeout connect 2s\n    timeout client 30s\n    timeout server 30s\n"
              "    retries 3\n    option redispatch 1\n"
              "frontend clamd\n    bind 127.0.0.1:" + std::to_string(ports[0]) + "\n    default_backend remedy\n"
              "backend remedy\n    balance roundrobin\n    option tcp-check\n    tcp-check connect\n"
              "    tcp-check send nPING\\n\n    tcp-check expect string PONG\n"
              "    default-server inter 200ms fall 1 rise 1\n"
              "    server remedy-1 127.0.0.1:" + std::to_string(ports[1]) + " check\n"
              "    server remedy-2 127.0.0.1:" + std::to_string(ports[2]) + " check\n");
    ChildServer haproxy({"haproxy", "-db", "-f", dir.file("haproxy.cfg").string()}, dir.file("haproxy.out").string());
    ASSERT_TRUE(waitFor([&] {
        return haproxy.running() && std::filesystem::exists(stats) && listening(ports[0]) &&
               states(backendStats(stats)) == "remedy-1 UP remedy-2 UP ";
    })) << clitest::slurp(dir.file("haproxy.out"));

    // 300 files, every 25th infected.
    const Bytes infected =
        fixtures::kuku::infect(fixtures::kuku::Loader::JumpRegister, fixtures::kuku::Body::ThreadCounted).file;
    fixtures::writeFile(dir.file("k.exe"), infected);
    Client ask = Client::tcp(ports[2]);
    ask.send("nSCAN " + dir.file("k.exe").string() + "\n");
    const std::string reply = ask.readAll();  // "<path>: <name> FOUND\n"
    const std::string kuku = reply.substr(reply.find(": ") + 2, reply.size() - reply.find(": ") - 9);
    constexpr int kFiles = 300;
    std::filesystem::create_directories(dir.file("files"));
    std::string firstHalf, secondHalf, expected;
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = dir.file("files/f" + std::to_string(i)).string();
        fixtures::writeFile(name, i % 25 == 0 ? infected : Bytes(100 + i, uint8_t('a' + i % 26)));
        (i < kFiles / 2 ? firstHalf : secondHalf) += name + "\n";
        expected += name + (i % 25 == 0 ? ": " + kuku + " FOUND\n" : ": OK\n");
    }
    const std::string list = dir.file("list").string();
    ASSERT_EQ(::mkfifo(list.c_str(), 0600), 0);
    writeText(dir.file("clamdscan.conf"), "TCPSocket " + std::to_string(ports[0]) + "\nTCPAddr 127.0.0.1\n");
    ChildServer clamdscan({"clamdscan", "--stream", "--no-summary", "--config-file=" + dir.file("clamdscan.conf").string(),
                           "--file-list=" + list},
                          dir.file("clamdscan.out").string());
    // clamdscan asks VERSIONCOMMANDS on a connection of its own first, then one connection a file.
    int writer = -1;
    ASSERT_TRUE(waitFor([&] { return (writer = ::open(list.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; }))
        << clitest::slurp(dir.file("clamdscan.out"));
    ASSERT_EQ(::write(writer, firstHalf.data(), firstHalf.size()), ssize_t(firstHalf.size()));
    std::map<std::string, ServerStats> served;
    EXPECT_TRUE(waitFor([&] {
        served = backendStats(stats);
        return served["remedy-1"].sessions + served["remedy-2"].sessions == kFiles / 2 + 1 &&
               served["remedy-1"].open + served["remedy-2"].open == 0;
    })) << served["remedy-1"].sessions << " + " << served["remedy-2"].sessions;
    const int servedBeforeTheStop = served["remedy-1"].sessions;
    EXPECT_GT(servedBeforeTheStop, 0);

    const pid_t firstPid = pid_t(std::stol(clitest::slurp(first.file("daemon.pid"))));
    ASSERT_GT(firstPid, 1);
    ASSERT_EQ(::kill(firstPid, SIGTERM), 0);
    EXPECT_TRUE(waitFor([&] { return !listening(ports[1]); }));
    // Until its health check fails, HAProxy may still pick the stopped daemon: the connection is
    // refused and HAProxy sends it to the other one.
    ASSERT_EQ(::write(writer, secondHalf.data(), secondHalf.size()), ssize_t(secondHalf.size()));
    ::close(writer);
    EXPECT_TRUE(waitFor([&] { return states(backendStats(stats)) == "remedy-1 DOWN remedy-2 UP "; }));

    EXPECT_EQ(clamdscan.waitExit(), 1);
    EXPECT_EQ(clitest::slurp(dir.file("clamdscan.out")), expected);
    EXPECT_TRUE(waitFor([&] { return !std::filesystem::exists(first.file("daemon.pid")); }));
    served = backendStats(stats);
    std::cout << "requests served: remedy-1 " << served["remedy-1"].sessions << ", remedy-2 "
              << served["remedy-2"].sessions << "; refused by the stopped remedy-1 and sent to remedy-2: "
              << served["remedy-1"].redispatched << "\n";
    RecordProperty("served_by_first", served["remedy-1"].sessions);
    RecordProperty("served_by_second", served["remedy-2"].sessions);
    EXPECT_EQ(served["remedy-1"].sessions, servedBeforeTheStop);
    EXPECT_EQ(served["remedy-1"].sessions + served["remedy-2"].sessions, kFiles + 1);
    Client stop = Client::tcp(ports[2]);
    stop.send("nSHUTDOWN\n");
    EXPECT_TRUE(stop.closedByDaemon());
    EXPECT_TRUE(waitFor([&] { return !std::filesystem::exists(second.file("daemon.pid")); }));
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
// Out of descriptors, the daemon rests between tries to take a client instead of spinning on the
// listener, and serves clients again once descriptors are free.
TEST(DaemonClients, OutOfDescriptorsTheDaemonRestsAndServesAgainAfter) {
    fixtures::TempDir dir;
    const std::string config = dir.file("remedy.conf").string(), socket = dir.file("remedy.sock").string();
    writeText(config, configText(dir, freePort()));
    ClientRun started =
        run(dir, "ulimit -n 32 && " + quote(REMEDY_CLI_PATH) + " daemon --config-file " + quote(config));
    ASSERT_EQ(started.status, 0) << started.out;
    const pid_t pid = pid_t(std::stol(clitest::slurp(dir.file("daemon.pid"))));
    const auto cpuSeconds = [pid] {
        const std::string stat = clitest::slurp("/proc/" + std::to_string(pid) + "/stat");
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        uint64_t user = 0, system = 0;
        for (int k = 3; k <= 15 && fields >> field; ++k) {
            if (k == 14) user = std::stoull(field);
            if (k == 15) system = std::stoull(field);
        }
        return double(user + system) / double(::sysconf(_SC_CLK_TCK));
    };
    // Clients that connect and send nothing hold a descriptor each until the daemon has none
    // left; the rest wait in the listen queue.
    std::vector<Client> held;
    for (int k = 0; k < 36; ++k) held.push_back(Client::local(socket));
    ASSERT_TRUE(waitFor([&] {
        return clitest::slurp(dir.file("daemon.log")).find("cannot take a connection: Too many open files") !=
               std::string::npos;
    }));
    const double before = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(cpuSeconds() - before, 0.3);  // a second of resting, not of trying again at once
    held.clear();
    Client client = Client::local(socket);
    client.send("nPING\n");
    EXPECT_EQ(client.readAll(), "PONG\n");
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_TRUE(waitFor([&] { return !std::filesystem::exists(dir.file("daemon.pid")); }));
}

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
