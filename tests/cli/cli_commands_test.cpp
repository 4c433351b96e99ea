// remedy kill, --dry-run, --no-backup, --max-filesize, the progress line, and a
// repair whose write fails half way.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "tests/cli/cli_runner.h"
#include "tests/fixtures/bytes.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"
#include "tests/fixtures/numbered_repairs.h"

namespace {

using fixtures::Bytes;
using namespace clitest;

size_t entriesIn(const std::filesystem::path& dir) {
    std::error_code ec;
    if (!std::filesystem::exists(dir, ec)) return 0;
    return size_t(std::distance(std::filesystem::directory_iterator(dir), {}));
}

// An infected COM program, its clean original and where it lies.
struct InfectedGame {
    fixtures::TempDir dir;
    Bytes clean = fixtures::dos::makeCom(20000);
    Bytes infected = fixtures::dos::infectTmcBCom(clean);
    std::string path = dir.file("game.com").string();
    std::string quarantine = dir.file("q").string();
    InfectedGame() { fixtures::writeFile(path, infected); }
};

TEST(CliDryRun, ReportsTheRepairAndChangesNothing) {
    InfectedGame game;
    const std::string other = game.dir.file("notes.txt").string();
    fixtures::writeFile(other, {'o', 'k'});
    Outcome run = remedy(game.dir, "scan --no-summary --dry-run --quarantine " + quote(game.quarantine) + " " +
                                       quote(game.path) + " " + quote(other));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.out, game.path + ": DOS.TmcBCOM 0x00006551 FOUND (post-library); would be repaired (original would "
                                   "be kept in " + game.quarantine + ")\n" + other + ": OK\n");
    EXPECT_EQ(fixtures::readFile(game.path), game.infected);
    EXPECT_FALSE(std::filesystem::exists(game.quarantine));
    EXPECT_EQ(entriesIn(game.dir.path()), 4u);  // game.com, notes.txt, stdout, stderr: no temporary left

    // The summary counts the finding but no repair.
    run = remedy(game.dir, "scan --json --dry-run --no-backup " + quote(game.path));
    EXPECT_NE(run.out.find("\"actions\":[\"would be repaired\"]"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"found\":1,\"repaired\":0,\"removed\":0,\"errors\":0"), std::string::npos) << run.out;
    EXPECT_EQ(fixtures::readFile(game.path), game.infected);
}

TEST(CliNoBackup, RepairsWithoutKeepingTheOriginal) {
    InfectedGame game;
    Outcome run = remedy(game.dir, "scan --no-summary --clean --no-backup " + quote(game.path), "HOME=/nonexistent");
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.out, game.path + ": DOS.TmcBCOM 0x00006551 FOUND (post-library); repaired\n");
    EXPECT_EQ(fixtures::readFile(game.path), game.clean);
    EXPECT_FALSE(std::filesystem::exists("/nonexistent"));
}

// The kernel refuses writes past the file-size limit part way through the repaired file: the
// commit must notice, keep the original and leave no temporary file behind.
TEST(CliFailingWrite, LeavesTheOriginalUnchanged) {
    InfectedGame game;
    ASSERT_GT(game.clean.size(), 8192u);
    Outcome run = remedy(game.dir, "scan --no-summary --clean --no-backup " + quote(game.path),
                         "trap '' XFSZ; ulimit -f 8 &&");
    EXPECT_EQ(run.status, 2) << run.out << run.err;
    EXPECT_NE(run.out.find(game.path + ": DOS.TmcBCOM 0x00006551 FOUND (post-library); not repaired: cannot write "
                                       "the repaired file"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(fixtures::readFile(game.path), game.infected);
    EXPECT_EQ(entriesIn(game.dir.path()), 3u);  // game.com, stdout, stderr
}

TEST(CliKill, RepairsByIdentifierKeepingTheOriginal) {
    fixtures::TempDir dir;
    const Bytes clean = fixtures::dos::makeCom(4000);
    const Bytes infected = fixtures::dos::infectVoronezhCom(clean, fixtures::dos::VoronezhForm::V1600, 0x9A);
    const std::string path = dir.file("prog.com").string(), quarantine = dir.file("q").string();
    fixtures::writeFile(path, infected);
    Outcome run = remedy(dir, "kill --id 0x3ddd --quarantine " + quote(quarantine) + " " + quote(path));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out.rfind(path + ": repaired (original kept as " + quarantine + "/", 0), 0u) << run.out;
    EXPECT_EQ(fixtures::readFile(path), clean);
    ASSERT_EQ(quarantinedFiles(quarantine).size(), 1u);
    EXPECT_EQ(entriesIn(quarantine), 2u);  // the original and its record
    EXPECT_EQ(fixtures::readFile(quarantinedFiles(quarantine)[0]), infected);
}

TEST(CliKill, AWrongIdentifierLeavesTheFileAndExitsWithOne) {
    fixtures::TempDir dir;
    const Bytes program = fixtures::dos::makeCom(3000);
    const std::string path = dir.file("prog.com").string();
    fixtures::writeFile(path, program);
    Outcome run = remedy(dir, "kill --id 0x3ddd --no-backup " + quote(path));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.out, path + ": not repaired (kill result 0x80000002); the file is unchanged\n");
    EXPECT_EQ(fixtures::readFile(path), program);
}

TEST(CliKill, SpecialMethodWithItsParameter) {
    fixtures::TempDir dir;
    const auto c = fixtures::prependedBody(fixtures::specialCleanProgram(0x1400));
    const std::string path = dir.file("tool.exe").string();
    fixtures::writeFile(path, c.infected);
    Outcome run = remedy(dir, "kill --special 1 --param " + std::to_string(c.parameter) + " --dry-run --no-backup " +
                                  quote(path));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out, path + ": would be repaired\n");
    EXPECT_EQ(fixtures::readFile(path), c.infected);
    run = remedy(dir, "kill --special 1 --param " + std::to_string(c.parameter) + " --no-backup " + quote(path));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out, path + ": repaired\n");
    EXPECT_EQ(fixtures::readFile(path), c.clean);
}

// A file that is nothing but the body: the module removes it, and the command moves it to
// quarantine (or, with --no-backup, unlinks it).
TEST(CliKill, RemovedFilesGoToQuarantine) {
    fixtures::TempDir dir;
    const auto c = fixtures::prependedBody(Bytes(4096, 0x33));
    const std::string path = dir.file("dropper.exe").string(), quarantine = dir.file("q").string();
    const std::string request = "kill --special 1 --param " + std::to_string(c.parameter) + " ";
    fixtures::writeFile(path, c.infected);
    Outcome run = remedy(dir, request + "--quarantine " + quote(quarantine) + " " + quote(path));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out.rfind(path + ": removed (moved to " + quarantine + "/", 0), 0u) << run.out;
    EXPECT_FALSE(std::filesystem::exists(path));
    ASSERT_EQ(quarantinedFiles(quarantine).size(), 1u);
    EXPECT_EQ(fixtures::readFile(quarantinedFiles(quarantine)[0]), c.infected);

    fixtures::writeFile(path, c.infected);
    run = remedy(dir, request + "--no-backup " + quote(path));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out, path + ": removed\n");
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(quarantinedFiles(quarantine).size(), 1u);  // nothing kept the second time
}

TEST(CliMaxFileSize, LargerFilesAreSkippedWithANote) {
    fixtures::TempDir dir;
    const std::string big = dir.file("big.com").string(), fits = dir.file("fits.bin").string();
    fixtures::writeFile(big, fixtures::dos::infectTmcBCom(fixtures::dos::makeCom(3333)));
    fixtures::writeFile(fits, Bytes(1024, 0x41));
    Outcome run = remedy(dir, "scan --max-filesize 1K " + quote(big) + " " + quote(fits));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.substr(0, run.out.find("\n\n")),
              big + ": Larger than --max-filesize (1024 bytes), skipped\n" + fits + ": OK");
    EXPECT_NE(run.out.find("Scanned files: 1\nScanned bytes: 1024\n"), std::string::npos) << run.out;
    // The default is generous; the same file is scanned without the option.
    run = remedy(dir, "scan --no-summary " + quote(big));
    EXPECT_EQ(run.status, 1) << run.out;
}

// Runs the command with stderr on a terminal; returns what the terminal received. Standard
// output goes to `out`.
std::string runOnTerminal(const std::string& arguments, const std::filesystem::path& out, unsigned short columns = 80) {
    int master = -1;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, &size);
    if (child == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDOUT_FILENO);
        ::execl("/bin/sh", "sh", "-c", (quote(REMEDY_CLI_PATH) + " " + arguments).c_str(), nullptr);
        ::_exit(127);
    }
    std::string seen;
    if (child < 0) return seen;
    char buffer[4096];
    for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;) seen.append(buffer, size_t(n));
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(master);
    return seen;
}

TEST(CliProgress, DrawnOnATerminalOnly) {
    fixtures::TempDir dir;
    std::filesystem::create_directories(dir.file("t"));
    for (const char* name : {"t/a.txt", "t/b.txt", "t/c.txt"}) fixtures::writeFile(dir.file(name), Bytes(10, 'x'));
    const std::string args = "scan --no-summary " + quote(dir.file("t").string());
    const std::string terminal = runOnTerminal(args, dir.file("out"));
    EXPECT_NE(terminal.find("\r\033[KScanned 3/3 files, 0.0 MB"), std::string::npos) << terminal;
    EXPECT_NE(terminal.find("\r\033[K"), terminal.rfind("\r\033[K"));  // drawn, then erased
    const std::string out = slurp(dir.file("out"));
    EXPECT_EQ(out.find('\033'), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3);

    Outcome run = remedy(dir, args);
    EXPECT_EQ(run.err, "");
}

// A long name with escape bytes: every drawn line fits the terminal and moves no cursor.
TEST(CliProgress, LineFitsTheTerminalAndShowsNoControlBytes) {
    fixtures::TempDir dir;
    const std::string hostile = "b-\033[2J-" + std::string(120, 'n') + ".txt";
    std::filesystem::create_directories(dir.file("t"));
    for (const std::string& name : {std::string("a.txt"), hostile, std::string("c.txt")})
        fixtures::writeFile(dir.file("t/" + name), Bytes(10, 'x'));
    const std::string terminal = runOnTerminal("scan --no-summary " + quote(dir.file("t").string()), dir.file("out"), 60);
    const std::string erase = "\r\033[K";
    ASSERT_EQ(terminal.rfind(erase, 0), 0u) << terminal;
    bool truncatedName = false;
    for (size_t at = 0; at < terminal.size();) {
        const size_t next = terminal.find(erase, at + erase.size());
        const std::string drawn = terminal.substr(at + erase.size(), next == std::string::npos ? std::string::npos
                                                                                               : next - at - erase.size());
        EXPECT_LT(drawn.size(), 60u) << drawn;
        EXPECT_EQ(drawn.find_first_of("\033\r\n"), std::string::npos) << drawn;
        truncatedName |= drawn.find(": ...nnn") != std::string::npos;
        at = next == std::string::npos ? terminal.size() : next;
    }
    EXPECT_TRUE(truncatedName) << terminal;
}

struct UsageCase {
    const char* name;
    const char* arguments;
    const char* message;
};

class CliCommandUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(CliCommandUsage, RefusedWithAReason) {
    fixtures::TempDir dir;
    Outcome run = remedy(dir, GetParam().arguments);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind(std::string("remedy: ") + GetParam().message + "\nusage: remedy", 0), 0u) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CliCommandUsage,
    ::testing::Values(UsageCase{"kill_without_request", "kill x.com", "kill needs --id, --method or --special"},
                      UsageCase{"kill_two_requests", "kill --id 1 --method 2 x.com", "give one of --id, --method and --special"},
                      UsageCase{"kill_bad_number", "kill --id 12z x.com", "--id needs a number (decimal or 0x-hex)"},
                      UsageCase{"kill_number_too_large", "kill --method 0x100000000 x.com",
                                "--method needs a number (decimal or 0x-hex)"},
                      UsageCase{"param_without_special", "kill --id 1 --param 2 x.com", "--param goes with --special"},
                      UsageCase{"kill_without_file", "kill --id 1", "kill needs a FILE"},
                      UsageCase{"kill_two_files", "kill --id 1 a b", "kill takes one FILE"},
                      UsageCase{"units_with_arguments", "units x", "units takes no arguments"},
                      UsageCase{"max_filesize_zero", "scan --max-filesize 0 x",
                                "--max-filesize needs a size such as 50000, 512K, 100M or 2G"},
                      UsageCase{"max_filesize_unit", "scan --max-filesize 5T x",
                                "--max-filesize needs a size such as 50000, 512K, 100M or 2G"},
                      UsageCase{"jobs_zero", "scan -j0 x", "-j needs a number from 1 to 256"},
                      UsageCase{"jobs_word", "scan -jx x", "-j needs a number from 1 to 256"},
                      UsageCase{"jobs_too_many", "scan -j257 x", "-j needs a number from 1 to 256"},
                      UsageCase{"hex_without_digits", "kill --id 0x x", "--id needs a number (decimal or 0x-hex)"},
                      UsageCase{"hex_twice", "kill --id 0x0x5 x", "--id needs a number (decimal or 0x-hex)"},
                      UsageCase{"leading_blank", "kill --id ' 5' x", "--id needs a number (decimal or 0x-hex)"},
                      UsageCase{"signed", "kill --id +5 x", "--id needs a number (decimal or 0x-hex)"},
                      UsageCase{"memory_unit", "scan --max-memory 5T x", "--max-memory needs a size such as 512M or 2G"},
                      UsageCase{"two_lists", "scan --files-from a --files-from0 b",
                                "give one of --files-from and --files-from0, once"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CliHelp, EveryOptionHasItsParagraph) {
    fixtures::TempDir dir;
    Outcome run = remedy(dir, "--help");
    EXPECT_EQ(run.status, 0);
    for (const char* option : {"--no-recurse", "--files-from FILE", "--max-filesize SIZE", "--heuristics", "--damaged",
                               "--rules PATH", "--no-default-rules", "--exclude GLOB, --exclude-dir GLOB",
                               "--one-file-system", "quarantine list [--json]",
                               "quarantine restore ID [--to PATH] [--force]", "quarantine remove ID", "--json",
                               "-j N, -jN, --jobs N", "--files-from0 FILE", "--alert-exceeds-max", "--max-memory SIZE",
                               "--no-summary", "--clean", "--quarantine DIR",
                               "--no-backup", "--dry-run", "--id ID", "--method N", "--special N", "--param P",
                               "--module PATH", "--version, -V", "--help, -h", "daemon", "--config-file FILE",
                               "--foreground, -F", "--local-socket PATH, --tcp-socket PORT, --tcp-addr ADDRESS",
                               "--enable-repair"})
        EXPECT_NE(run.out.find("\n    " + std::string(option) + "\n        "), std::string::npos) << option;
    for (const char* section : {"NAME\n", "SYNOPSIS\n", "COMMANDS\n", "EXIT STATUS\n"})
        EXPECT_NE(run.out.find(section), std::string::npos) << section;
}

}  // namespace
