// The clamd protocol as clients speak it: the three framings, every command's reply, path
// scans of files and directories, INSTREAM, FILDES and IDSESSION numbering.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <regex>

#include "tests/daemon/daemon_harness.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"
#include "tests/fixtures/kuku_infector.h"

namespace {

using namespace daemontest;
using fixtures::Bytes;

const std::string kTmcB = "DOS.TmcBCOM";

// A directory with two infected programs, a clean one and a text file.
struct Samples {
    explicit Samples(const DaemonRun& daemon) : root(daemon.dir.file("samples").string()) {
        std::filesystem::create_directories(root + "/sub");
        fixtures::writeFile(root + "/a.com", fixtures::dos::infectTmcBCom(fixtures::dos::makeCom(20000)));
        fixtures::writeFile(root + "/b.com", fixtures::dos::makeCom(3000));
        fixtures::writeFile(root + "/sub/c.com", fixtures::dos::infectTmcBCom(fixtures::dos::makeCom(9000)));
        fixtures::writeFile(root + "/sub/notes.txt", {'h', 'i'});
        fixtures::writeFile(clean + "/only.txt", {'o', 'k'});
    }
    std::string root;
    std::string clean = [this] {
        std::filesystem::create_directories(root + "-clean");
        return root + "-clean";
    }();
};

struct Exchange {
    const char* what;
    std::string request;
    std::string reply;
};

TEST(DaemonProtocol, FramingsAndSimpleCommands) {
    DaemonRun daemon;
    const std::vector<Exchange> table = {
        {"z framing", std::string("zPING\0", 6), std::string("PONG\0", 5)},
        {"n framing", "nPING\n", "PONG\n"},
        {"legacy with newline", "PING\n", "PONG\n"},
        {"legacy without any ending", "PING", "PONG\n"},
        {"legacy with CR LF", "PING\r\n", "PONG\n"},
        {"unknown, z", std::string("zHELLO\0", 7), std::string("UNKNOWN COMMAND\0", 16)},
        {"unknown, legacy", "HELLO\n", "UNKNOWN COMMAND\n"},
        {"RELOAD", "nRELOAD\n", "RELOADING\n"},
        {"INSTREAM needs a prefix", "INSTREAM\n", "UNKNOWN COMMAND\n"},
        {"END outside a session", "nEND\n", "UNKNOWN COMMAND\n"},
        {"repair not enabled", "nREPAIR /x\n", "COMMAND UNAVAILABLE\n"},
        {"relative path", "nSCAN a.com\n", "a.com: Path must be absolute. ERROR\n"},
        {"missing path", "nSCAN /no/such/file\n", "/no/such/file: No such file or directory ERROR\n"},
        {"command too long", "n" + std::string(5000, 'A') + "\n", "COMMAND TOO LONG. ERROR\n"},
    };
    for (const Exchange& exchange : table) EXPECT_EQ(ask(daemon, exchange.request), exchange.reply) << exchange.what;
}

TEST(DaemonProtocol, VersionNamesRemedyAndItsRules) {
    DaemonRun daemon;
    const std::string version = ask(daemon, "nVERSION\n");
    // "ClamAV-compatible remedy VERSION/RULES-GENERATION/DATE": the prefix clients check, remedy's
    // own name and version, and the three slash-separated fields clients split.
    EXPECT_TRUE(std::regex_match(version, std::regex(R"(ClamAV-compatible remedy \d+\.\d+\.\d+\.\d+/1/\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}\n)")))
        << version;
    const std::string commands = ask(daemon, std::string("zVERSIONCOMMANDS\0", 17));
    EXPECT_EQ(commands, version.substr(0, version.size() - 1) +
                            "| COMMANDS: SCAN RELOAD PING CONTSCAN VERSIONCOMMANDS VERSION END SHUTDOWN MULTISCAN "
                            "FILDES STATS IDSESSION INSTREAM ALLMATCHSCAN" + std::string(1, '\0'));
    const std::string stats = ask(daemon, "nSTATS\n");
    EXPECT_TRUE(stats.starts_with("POOLS: 1\n\nSTATE: VALID PRIMARY\nTHREADS: live ")) << stats;
    EXPECT_TRUE(stats.ends_with("\nEND\n")) << stats;
    EXPECT_NE(stats.find(" max 2 idle-timeout 5\nQUEUE: 0 items\n"), std::string::npos) << stats;
}

TEST(DaemonProtocol, PathScansOfFilesAndDirectories) {
    DaemonRun daemon;
    Samples samples(daemon);
    const std::string& r = samples.root;
    const std::vector<Exchange> table = {
        {"infected file", "nSCAN " + r + "/a.com\n", r + "/a.com: " + kTmcB + " FOUND\n"},
        {"clean file", "nSCAN " + r + "/b.com\n", r + "/b.com: OK\n"},
        // SCAN stops at the first finding; CONTSCAN and MULTISCAN go on; clean files have no line.
        {"SCAN directory", "nSCAN " + r + "\n", r + "/a.com: " + kTmcB + " FOUND\n"},
        {"CONTSCAN directory", "nCONTSCAN " + r + "\n",
         r + "/a.com: " + kTmcB + " FOUND\n" + r + "/sub/c.com: " + kTmcB + " FOUND\n"},
        {"MULTISCAN directory", "nMULTISCAN " + r + "\n",
         r + "/a.com: " + kTmcB + " FOUND\n" + r + "/sub/c.com: " + kTmcB + " FOUND\n"},
        {"ALLMATCHSCAN file", "nALLMATCHSCAN " + r + "/sub/c.com\n", r + "/sub/c.com: " + kTmcB + " FOUND\n"},
        {"clean directory", "nCONTSCAN " + samples.clean + "\n", samples.clean + ": OK\n"},
        {"clean directory, MULTISCAN", "nMULTISCAN " + samples.clean + "\n", samples.clean + ": OK\n"},
        {"z framing", "zCONTSCAN " + r + "/sub" + std::string(1, '\0'), r + "/sub/c.com: " + kTmcB + " FOUND" + std::string(1, '\0')},
    };
    for (const Exchange& exchange : table) EXPECT_EQ(ask(daemon, exchange.request), exchange.reply) << exchange.what;
}

TEST(DaemonProtocol, NamesWithControlBytesCannotForgeReplies) {
    DaemonRun daemon;
    const std::string dir = daemon.dir.file("odd").string();
    std::filesystem::create_directories(dir);
    const std::string odd = dir + "/x\nstream: OK.com";
    fixtures::writeFile(odd, fixtures::dos::infectTmcBCom(fixtures::dos::makeCom(20000)));
    EXPECT_EQ(ask(daemon, "nCONTSCAN " + dir + "\n"), dir + "/x\\nstream: OK.com: " + kTmcB + " FOUND\n");
}

TEST(DaemonProtocol, InstreamAnswersByContent) {
    DaemonRun daemon;
    const Bytes infected = fixtures::kuku::infect(fixtures::kuku::Loader::JumpRegister, fixtures::kuku::Body::ThreadCounted).file;
    const std::string found = ask(daemon, instream(infected, 1000));
    EXPECT_TRUE(std::regex_match(found, std::regex(std::string(R"(stream: \S+ FOUND)") + '\0'))) << found;
    EXPECT_EQ(ask(daemon, instream(fixtures::kuku::cleanProgram())), std::string("stream: OK\0", 11));
    EXPECT_EQ(ask(daemon, instream({}, 1, "nINSTREAM")), "stream: OK\n");
    // The same bytes by path answer the same name.
    const std::string path = daemon.dir.file("k.exe").string();
    fixtures::writeFile(path, infected);
    EXPECT_EQ(ask(daemon, "nSCAN " + path + "\n"), path + ": " + found.substr(8, found.size() - 9) + "\n");
}

TEST(DaemonProtocol, FildesNamesTheDescriptorAndClassifiesByTheFilesName) {
    DaemonRun daemon;
    Samples samples(daemon);
    for (const auto& [file, verdict] : std::vector<std::pair<std::string, std::string>>{
             {"/a.com", kTmcB + " FOUND"}, {"/b.com", "OK"}}) {
        const int fd = ::open((samples.root + file).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        Client client = Client::local(daemon.config.localSocket);
        client.send("nFILDES\n");
        client.sendDescriptor(fd);
        ::close(fd);
        const std::string reply = client.readAll();
        EXPECT_TRUE(std::regex_match(reply, std::regex(R"(fd\[\d+\]: )" + verdict + "\n"))) << reply;
    }
    // A pipe whose writing end the client keeps open would never end: refused, as a directory is.
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    const int directory = ::open(samples.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int fd : {pipeEnds[0], directory}) {
        Client client = Client::local(daemon.config.localSocket);
        client.send("zFILDES" + std::string(1, '\0'));
        client.sendDescriptor(fd);
        const std::string reply = client.readAll();
        EXPECT_TRUE(std::regex_match(reply, std::regex(R"(fd\[\d+\]: Not a regular file\. ERROR)" + std::string(1, '\0'))))
            << reply;
    }
    for (int fd : {pipeEnds[0], pipeEnds[1], directory}) ::close(fd);
    // On TCP there is no descriptor passing.
    Client tcp = Client::tcp(daemon.server->tcpPort());
    tcp.send("nFILDES\n");
    EXPECT_EQ(tcp.readAll(), "FILDES: only on the local socket. ERROR\n");
}

TEST(DaemonProtocol, SessionRepliesAreNumberedAndEndWithEnd) {
    DaemonRun daemon;
    Samples samples(daemon);
    Client client = Client::local(daemon.config.localSocket);
    const std::string z(1, '\0');
    client.send("zIDSESSION" + z + "zPING" + z + "zSCAN " + samples.root + "/a.com" + z +
                instream(fixtures::kuku::cleanProgram()) + "zEND" + z);
    const std::string replies = client.readAll();
    // Replies come as each request finishes; each carries its request's number.
    for (const std::string& line : {std::string("1: PONG"), std::string("2: ") + samples.root + "/a.com: " + kTmcB + " FOUND", std::string("3: stream: OK")})
        EXPECT_NE(replies.find(line + z), std::string::npos) << replies;
    EXPECT_EQ(std::count(replies.begin(), replies.end(), '\0'), 3);

    // A command a session does not take ends it, with its number.
    Client refused = Client::local(daemon.config.localSocket);
    refused.send("nIDSESSION\nnPING\nnSHUTDOWN\nnPING\n");
    EXPECT_EQ(refused.readAll(), "1: PONG\n2: Command invalid inside IDSESSION. ERROR\n");
    EXPECT_EQ(ask(daemon, "nPING\n"), "PONG\n");  // and the daemon still serves
}

}  // namespace
