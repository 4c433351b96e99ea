// The repair extension: REPAIR commits a repair of a path as remedy scan --clean does, only on
// the Unix socket and only for the connecting user's own files (any file for root);
// INSTREAMREPAIR hands the repaired bytes back, length-prefixed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "tests/daemon/daemon_harness.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"
#include "tests/fixtures/kuku_infector.h"

namespace {

using namespace daemontest;
using fixtures::Bytes;

const std::string z(1, '\0');
constexpr uid_t kNobody = 65534;

std::vector<std::filesystem::path> quarantined(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.path().extension() != ".json") files.push_back(entry.path());
    return files;
}

struct RepairDaemon : DaemonRun {
    RepairDaemon() : DaemonRun([](service::DaemonConfig& c) { c.repairEnabled = true; }) {
        ::chmod(dir.path().c_str(), 0755);  // other users reach the socket and the samples
    }
    Bytes clean = fixtures::dos::makeCom(20000);
    Bytes infected = fixtures::dos::infectTmcBCom(clean);
    std::string sample(const std::string& name, uid_t owner = 0) {
        const std::string path = dir.file(name).string();
        fixtures::writeFile(path, infected);
        if (::chown(path.c_str(), owner, owner) != 0) throw std::runtime_error("chown failed");
        return path;
    }
};

// One request from a process running as `uid`; the whole answer. Only system calls run in the
// child, as a forked copy of a threaded process may only do.
std::string askAs(uid_t uid, const std::string& socketPath, const std::string& request) {
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::setgid(uid) != 0 || ::setuid(uid) != 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            ::_exit(1);
        if (::write(fd, request.data(), request.size()) != ssize_t(request.size())) ::_exit(1);
        char buffer[4096];
        for (int reads = 0; reads < 1000; ++reads) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0 || ::write(out[1], buffer, size_t(n)) != n) break;
        }
        ::_exit(0);
    }
    ::close(out[1]);
    std::string answer;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) answer.append(buffer, size_t(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the client as uid " << uid << " failed";
    return answer;
}

TEST(DaemonRepair, RepairsAPathThroughTheQuarantinedCommit) {
    RepairDaemon daemon;
    const std::string path = daemon.sample("game.com");
    EXPECT_EQ(ask(daemon, "nREPAIR " + path + "\n"), path + ": DOS.TmcBCOM REPAIRED\n");
    EXPECT_EQ(fixtures::readFile(path), daemon.clean);
    const auto kept = quarantined(daemon.config.commit.quarantineDir);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(fixtures::readFile(kept[0]), daemon.infected);
    // Repaired, it is clean.
    EXPECT_EQ(ask(daemon, "nREPAIR " + path + "\n"), path + ": OK\n");
    EXPECT_NE(ask(daemon, "nVERSIONCOMMANDS\n").find(" ALLMATCHSCAN REPAIR INSTREAMREPAIR\n"), std::string::npos);
}

TEST(DaemonRepair, RefusedOverTcpAndForOtherUsersFiles) {
    RepairDaemon daemon;
    const std::string overTcp = daemon.sample("tcp.com");
    Client tcp = Client::tcp(daemon.server->tcpPort());
    tcp.send("nREPAIR " + overTcp + "\n");
    EXPECT_EQ(tcp.readAll(), overTcp + ": Repair is accepted only on the local socket. ERROR\n");
    EXPECT_EQ(fixtures::readFile(overTcp), daemon.infected);

    const std::string others = daemon.sample("others.com", 4242);
    EXPECT_EQ(askAs(kNobody, daemon.config.localSocket, "nREPAIR " + others + "\n"),
              others + ": Permission denied: the file belongs to another user. ERROR\n");
    EXPECT_EQ(fixtures::readFile(others), daemon.infected);
    // The user's own file is repaired; root may repair anyone's.
    const std::string own = daemon.sample("own.com", kNobody);
    EXPECT_EQ(askAs(kNobody, daemon.config.localSocket, "nREPAIR " + own + "\n"), own + ": DOS.TmcBCOM REPAIRED\n");
    EXPECT_EQ(fixtures::readFile(own), daemon.clean);
    EXPECT_EQ(ask(daemon, "nREPAIR " + others + "\n"), others + ": DOS.TmcBCOM REPAIRED\n");
    EXPECT_EQ(quarantined(daemon.config.commit.quarantineDir).size(), 2u);
}

// An INSTREAMREPAIR of `infected` sent in chunks of `chunk` bytes: its reply line, and the
// repaired bytes after it (checked against their length prefix).
struct StreamRepair {
    std::string line;
    std::string bytes;
};
StreamRepair streamRepair(const DaemonRun& daemon, const Bytes& infected, size_t chunk) {
    Client client = Client::local(daemon.config.localSocket);
    client.send(instream(infected, chunk, "zINSTREAMREPAIR"));
    const std::string answer = client.readAll();
    const size_t lineEnd = answer.find('\0');
    if (lineEnd == std::string::npos || answer.size() < lineEnd + 5) return {answer, ""};
    const auto* length = reinterpret_cast<const unsigned char*>(answer.data() + lineEnd + 1);
    const uint32_t size = uint32_t(length[0]) << 24 | uint32_t(length[1]) << 16 | uint32_t(length[2]) << 8 | length[3];
    StreamRepair result{answer.substr(0, lineEnd), answer.substr(lineEnd + 5)};
    if (result.bytes.size() != size) result.line += " (the length prefix does not match)";
    return result;
}

TEST(DaemonRepair, StreamRepairReturnsTheRepairedBytes) {
    RepairDaemon daemon;
    const Bytes infected = fixtures::kuku::infect(fixtures::kuku::Loader::JumpRegister, fixtures::kuku::Body::ThreadCounted).file;
    const auto [line, bytes] = streamRepair(daemon, infected, 4096);
    ASSERT_TRUE(line.starts_with("stream: ") && line.ends_with(" REPAIRED")) << line;
    // The same repair as a path repair of the same file.
    const std::string path = daemon.dir.file("k.exe").string();
    fixtures::writeFile(path, infected);
    EXPECT_EQ(ask(daemon, "nREPAIR " + path + "\n"), path + ": " + line.substr(8) + "\n");
    const Bytes repaired = fixtures::readFile(path);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), repaired);
    EXPECT_NE(repaired, infected);
    // A clean stream has nothing after its line.
    EXPECT_EQ(ask(daemon, instream(fixtures::kuku::cleanProgram(), 4096, "nINSTREAMREPAIR")), "stream: OK\n");
}

// However a client cuts a stream into chunks, the daemon scans the same bytes: the stream is
// assembled in one buffer that the first chunk sizes and a second chunk widens to
// StreamMaxLength, here exactly the stream's size.
TEST(DaemonRepair, StreamIsTheSameBytesWhateverItsChunks) {
    const Bytes infected = fixtures::kuku::infect(fixtures::kuku::Loader::JumpRegister, fixtures::kuku::Body::ThreadCounted).file;
    DaemonRun daemon([&](service::DaemonConfig& c) {
        c.repairEnabled = true;
        c.streamMaxLength = infected.size();
    });
    const StreamRepair whole = streamRepair(daemon, infected, infected.size());
    ASSERT_TRUE(whole.line.ends_with(" REPAIRED")) << whole.line;
    ASSERT_FALSE(whole.bytes.empty());
    for (const size_t chunk : {size_t(1), size_t(7), size_t(4096), infected.size() - 1}) {
        const StreamRepair cut = streamRepair(daemon, infected, chunk);
        EXPECT_EQ(cut.line, whole.line) << "chunks of " << chunk;
        EXPECT_TRUE(cut.bytes == whole.bytes) << "chunks of " << chunk;
    }
    // One byte more than StreamMaxLength, in a second chunk, is still refused.
    Bytes longer = infected;
    longer.push_back(0);
    EXPECT_EQ(ask(daemon, instream(longer, infected.size(), "zINSTREAMREPAIR")), "INSTREAM size limit exceeded. ERROR" + z);
}

}  // namespace
