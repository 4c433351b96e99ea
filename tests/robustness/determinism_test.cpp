// The same files give the same result lines and the same repaired bytes whatever the number of
// workers; a run the watchdog stops is an error for its file, with the file left as it was; a
// unit cut short by its own budget says so beside its verdict.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>

#include "sdk/format_codes.h"
#include "tests/cli/cli_runner.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"
#include "tests/robustness/sample_corpus.h"

namespace {

using clitest::quote;
using clitest::remedy;
using fixtures::Bytes;
namespace fs = std::filesystem;

// Writes every corpus file, and the delayed stand-ins, into `directory`.
void writeCorpus(const fs::path& directory) {
    fs::create_directories(directory);
    for (const robustness::CorpusFile& file : robustness::sampleCorpus())
        fixtures::writeFile(directory / file.name, file.bytes);
    using fixtures::dos::StandInDelay;
    const Bytes com = fixtures::dos::makeCom(3000);
    fixtures::writeFile(directory / "sentinel-spin.com",
                        fixtures::dos::infectSentinelComDelayed(com, false, StandInDelay::SelfRewritingSpin));
    fixtures::writeFile(directory / "sentinel-overlong.com",
                        fixtures::dos::infectSentinelComDelayed(com, true, StandInDelay::PastTheBudget));
}

std::map<std::string, Bytes> contents(const fs::path& directory) {
    std::map<std::string, Bytes> files;
    for (const auto& entry : fs::recursive_directory_iterator(directory))
        if (entry.is_regular_file()) files[fs::relative(entry.path(), directory).string()] = fixtures::readFile(entry.path());
    return files;
}

// The lines with the run's own directory left out, and quarantine entries' names (unique to each
// run) as "ENTRY".
std::string comparable(std::string text, const std::string& root) {
    for (size_t at; (at = text.find(root)) != std::string::npos;) text.erase(at, root.size());
    return std::regex_replace(text, std::regex("(original kept as|moved to) [^)]*\\)"), "$1 ENTRY)");
}

TEST(Determinism, OneWorkerAndManyMoreWorkersThanCoresAgreeLineForLineAndByteForByte) {
    fixtures::TempDir dir;
    const fs::path one = dir.file("one"), many = dir.file("many");
    writeCorpus(one / "tree");
    writeCorpus(many / "tree");
    const auto scan = [&](const fs::path& root, const char* jobs) {
        return remedy(dir, std::string("scan --clean --no-summary -j ") + jobs + " --quarantine " +
                               quote((root / "quarantine").string()) + " " + quote((root / "tree").string()));
    };
    const clitest::Outcome first = scan(one, "1");
    const clitest::Outcome second = scan(many, "16");
    EXPECT_EQ(first.status, second.status);
    EXPECT_NE(first.out.find("FOUND"), std::string::npos) << first.out;
    EXPECT_EQ(comparable(first.out, one.string()), comparable(second.out, many.string()));
    EXPECT_EQ(contents(one / "tree"), contents(many / "tree"));
}

// A delayed Sentinel stand-in in `dir`, and the arguments that repair what a scan finds.
struct DelayedSentinel {
    DelayedSentinel(const fixtures::TempDir& dir, const char* name, fixtures::dos::StandInDelay delay)
        : infected(fixtures::dos::infectSentinelComDelayed(fixtures::dos::makeCom(3000), false, delay)),
          path(dir.file(name)),
          args("scan --clean --no-summary --quarantine " + quote(dir.file("q").string()) + " ") {
        fixtures::writeFile(path, infected);
    }
    const Bytes infected;
    const fs::path path;
    const std::string args;
};

TEST(Determinism, AWatchdogStopIsAnErrorAndTheFileIsUntouched) {
    fixtures::TempDir dir;
    const DelayedSentinel slow(dir, "slow.com", fixtures::dos::StandInDelay::SelfRewritingSpin);
    const auto& [infected, path, args] = slow;
    const clitest::Outcome text = remedy(dir, args + quote(path.string()), "REMEDY_TEST_WATCHDOG_AFTER=50000");
    EXPECT_EQ(text.status, 2);
    // The scan's verdict stands; the repair the watchdog stopped is an error, and nothing is written.
    EXPECT_EQ(text.out, path.string() +
                            ": DOS.SentinelCOM 0x00003AD9 FOUND (signatures); ERROR: time limit reached (CScanSentinelCOM)\n");
    EXPECT_EQ(fixtures::readFile(path), infected);

    const clitest::Outcome json = remedy(dir, args + "--json " + quote(path.string()), "REMEDY_TEST_WATCHDOG_AFTER=50000");
    EXPECT_EQ(json.status, 2);
    EXPECT_NE(json.out.find("\"errors\":[\"time limit reached (CScanSentinelCOM)\"]"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"actions\":[]"), std::string::npos) << json.out;
    EXPECT_EQ(fixtures::readFile(path), infected);

    // A scan the watchdog stopped names no virus at all.
    const fs::path tequila = dir.file("slow.exe");
    const Bytes mz = fixtures::dos::makeMz({2048, std::nullopt, 0x200, true});
    fixtures::writeFile(tequila, fixtures::dos::infectTequilaDelayed(mz, fixtures::dos::StandInDelay::SelfRewritingSpin));
    const clitest::Outcome stopped = remedy(dir, args + quote(tequila.string()), "REMEDY_TEST_WATCHDOG_AFTER=50000");
    EXPECT_EQ(stopped.status, 2);
    EXPECT_EQ(stopped.out, tequila.string() + ": ERROR: time limit reached (CScanTequila5Volt2659)\n");

    // Unhurried, the same file repairs.
    const clitest::Outcome calm = remedy(dir, args + quote(path.string()));
    EXPECT_EQ(calm.status, 1);
    EXPECT_NE(calm.out.find("repaired"), std::string::npos) << calm.out;
    EXPECT_EQ(fixtures::readFile(path), fixtures::dos::makeCom(3000));
}

TEST(Determinism, AUnitCutShortByItsBudgetSaysSo) {
    fixtures::TempDir dir;
    const DelayedSentinel overlong(dir, "overlong.com", fixtures::dos::StandInDelay::PastTheBudget);
    const auto& [infected, path, args] = overlong;
    const clitest::Outcome text = remedy(dir, args + quote(path.string()));
    EXPECT_NE(text.out.find("limit reached: emulation steps (CScanSentinelCOM)"), std::string::npos) << text.out;
    EXPECT_EQ(text.out.find("; repaired"), std::string::npos) << text.out;
    EXPECT_EQ(fixtures::readFile(path), infected);
    const clitest::Outcome json = remedy(dir, args + "--json " + quote(path.string()));
    EXPECT_NE(json.out.find("\"limits\":[\"emulation steps (CScanSentinelCOM)\"]"), std::string::npos) << json.out;
}

}  // namespace
