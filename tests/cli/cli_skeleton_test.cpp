// The remedy command as users run it: output lines, exit codes, the module's location.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "host/host_version.h"
#include "tests/cli/cli_runner.h"
#include "tests/fixtures/bytes.h"
#include "tests/fixtures/exploit_scripts.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"
#include "tests/fixtures/pe_builder.h"

namespace {

using fixtures::Bytes;
using namespace clitest;

TEST(CliSkeleton, VersionPrintsTheHostsAndTheModulesVersion) {
    fixtures::TempDir dir;
    Outcome run = remedy(dir, "--version");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::regex_match(
        run.out, std::regex(std::string(host::hostVersion()) +
                            R"(\nlibremedy\.so version: Little-Endian x64 \d+\.\d+\.\d+\.\d+ \d{14}\n)")))
        << run.out;
}

TEST(CliSkeleton, ScanPrintsOneLineAFileAndGoesOnAfterErrors) {
    fixtures::TempDir dir;
    fixtures::writeFile(dir.file("notes.txt"), {'h', 'i', '\n'});
    fixtures::writeFile(dir.file("tool.exe"),
                        fixtures::PeBuilder().addSection({".text", Bytes(16, 0xC3)}).entryInSection(0, 0).build());
    const std::string notes = dir.file("notes.txt").string(), tool = dir.file("tool.exe").string(),
                      missing = dir.file("missing").string();
    Outcome run = remedy(dir, "scan --no-summary " + quote(notes) + " " + quote(missing) + " " + quote(tool));
    EXPECT_EQ(run.status, 2);  // an error occurred
    EXPECT_EQ(run.out, notes + ": OK\n" + missing + ": ERROR: No such file or directory\n" + tool + ": OK\n");
}

TEST(CliSkeleton, CleanFilesExitWithZeroAndCleanLeavesThemAlone) {
    fixtures::TempDir dir;
    const Bytes program = {0xB4, 0x4C, 0xCD, 0x21};
    fixtures::writeFile(dir.file("game.com"), program);
    const std::string game = dir.file("game.com").string();
    Outcome run = remedy(dir, "scan --no-summary --clean --quarantine " + quote(dir.file("q").string()) + " " + quote(game));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, game + ": OK\n");
    EXPECT_EQ(fixtures::readFile(game), program);
    EXPECT_FALSE(std::filesystem::exists(dir.file("q")));
}

TEST(CliSkeleton, ModuleIsFoundBesideTheCommandOrWhereTheUserSays) {
    fixtures::TempDir dir;
    fixtures::writeFile(dir.file("a.txt"), {'x'});
    const std::string file = quote(dir.file("a.txt").string());
    Outcome run = remedy(dir, "scan " + file, "REMEDY_MODULE=/nonexistent/libremedy.so");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("cannot load the module /nonexistent/libremedy.so"), std::string::npos) << run.err;
    run = remedy(dir, "--module /nonexistent/lib.so scan " + file);
    EXPECT_EQ(run.status, 2);
    run = remedy(dir, "--module " + quote(REMEDY_MODULE_PATH) + " scan " + file, "REMEDY_MODULE=/nonexistent");
    EXPECT_EQ(run.status, 0) << run.err;
}

struct InfectedCase {
    const char* name;
    const char* fileName;
    Bytes (*clean)();
    Bytes (*infect)(const Bytes&);
    const char* finding;
};

class CliInfected : public ::testing::TestWithParam<InfectedCase> {};

// Found, then repaired with --clean: the file equals its clean original and the infected
// original waits in quarantine.
TEST_P(CliInfected, ScanFindsAndCleanRepairsKeepingTheOriginal) {
    const InfectedCase& c = GetParam();
    fixtures::TempDir dir;
    const Bytes clean = c.clean();
    const Bytes infected = c.infect(clean);
    const std::string path = dir.file(c.fileName).string();
    fixtures::writeFile(path, infected);
    Outcome run = remedy(dir, "scan --no-summary " + quote(path));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.out, path + ": " + c.finding + "\n");
    EXPECT_EQ(fixtures::readFile(path), infected);  // a scan alone changes nothing

    const auto quarantine = dir.file("quarantine");
    run = remedy(dir, "scan --clean --quarantine " + quote(quarantine.string()) + " " + quote(path));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.out.rfind(path + ": " + c.finding + "; repaired (original kept as " + quarantine.string(), 0), 0u)
        << run.out;
    EXPECT_EQ(fixtures::readFile(path), clean);
    ASSERT_EQ(quarantinedFiles(quarantine).size(), 1u);
    EXPECT_EQ(fixtures::readFile(quarantinedFiles(quarantine)[0]), infected);
}

INSTANTIATE_TEST_SUITE_P(
    Families, CliInfected,
    ::testing::Values(InfectedCase{"tmcb_com", "game.com", [] { return fixtures::dos::makeCom(3333); },
                                   fixtures::dos::infectTmcBCom, "DOS.TmcBCOM 0x00006551 FOUND (post-library)"},
                      InfectedCase{"cad_lisp", "acad.lsp", fixtures::makeLispRoutine,
                                   [](const Bytes& b) { return fixtures::appendCadVirus(b); },
                                   "CadLsp 0x0018752B FOUND (pre-library)"}),
    [](const auto& info) { return std::string(info.param.name); });

struct UsageCase {
    const char* name;
    const char* arguments;
    int status;
};

class CliUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(CliUsage, ExitsAsDocumented) {
    fixtures::TempDir dir;
    Outcome run = remedy(dir, GetParam().arguments);
    EXPECT_EQ(run.status, GetParam().status);
    const std::string& text = run.status == 0 ? run.out : run.err;
    EXPECT_NE(text.find("remedy [--module PATH] scan [OPTIONS] PATH..."), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Arguments, CliUsage,
                         ::testing::Values(UsageCase{"nothing", "", 2}, UsageCase{"scan_without_paths", "scan", 2},
                                           UsageCase{"unknown_command", "frobnicate", 2},
                                           UsageCase{"unknown_option", "scan --frob x", 2},
                                           UsageCase{"help", "--help", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
