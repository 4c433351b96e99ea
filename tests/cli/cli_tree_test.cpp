// Scanning directory trees: order, recursion, links, unreadable entries, JSON, workers, summary.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include <archive.h>

#include "tests/cli/cli_runner.h"
#include "tests/fixtures/archive_builder.h"
#include "tests/fixtures/bytes.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"
#include "tests/fixtures/golden.h"

namespace {

using fixtures::Bytes;
using namespace clitest;

// A small tree: a clean file, an infected COM program one level down, a link, and a fifo.
struct Tree {
    fixtures::TempDir dir;
    std::string root, clean, infected, nested;
    Tree() {
        root = dir.file("tree").string();
        std::filesystem::create_directories(dir.file("tree/sub/deeper"));
        clean = root + "/a.txt";
        infected = root + "/sub/game.com";
        nested = root + "/sub/deeper/b.txt";
        fixtures::writeFile(clean, {'h', 'i'});
        fixtures::writeFile(infected, fixtures::dos::infectTmcBCom(fixtures::dos::makeCom(3333)));
        fixtures::writeFile(nested, {'x'});
        std::filesystem::create_symlink(infected, root + "/link.com");
        ::mkfifo((root + "/pipe").c_str(), 0600);
    }
};

// A link inside a tree is passed over quietly (the summary counts it); one named directly gets its note.
TEST(CliTree, RecursesInNameOrderAndNeverFollowsLinks) {
    Tree tree;
    Outcome run = remedy(tree.dir, "scan --no-summary " + quote(tree.root) + " " + quote(tree.root + "/link.com"));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.out, tree.clean + ": OK\n" + tree.root + "/pipe: Not a regular file, skipped\n" + tree.nested +
                           ": OK\n" + tree.infected + ": DOS.TmcBCOM 0x00006551 FOUND (post-library)\n" + tree.root +
                           "/link.com: Symbolic link not followed\n");
}

TEST(CliTree, NoRecurseScansOnlyTheNamedDirectorysFiles) {
    Tree tree;
    Outcome run = remedy(tree.dir, "scan --no-summary --no-recurse " + quote(tree.root + "/sub"));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.out, tree.infected + ": DOS.TmcBCOM 0x00006551 FOUND (post-library)\n");
}

TEST(CliTree, FilesFromReadsPathsFromAFileOrStdin) {
    Tree tree;
    const auto list = tree.dir.file("list");
    const std::string lines = tree.clean + "\n\n" + tree.nested + "\n";
    fixtures::writeFile(list, Bytes(lines.begin(), lines.end()));
    Outcome run = remedy(tree.dir, "scan --no-summary --files-from " + quote(list.string()));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, tree.clean + ": OK\n" + tree.nested + ": OK\n");
    run = remedy(tree.dir, "scan --no-summary --files-from - <" + quote(list.string()));
    EXPECT_EQ(run.out, tree.clean + ": OK\n" + tree.nested + ": OK\n");
}

TEST(CliTree, UnreadableDirectoryIsReportedAndTheScanGoesOn) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every directory";
    Tree tree;
    const std::string locked = tree.root + "/sub/deeper";
    ::chmod(locked.c_str(), 0);
    Outcome run = remedy(tree.dir, "scan --no-summary " + quote(tree.root));
    ::chmod(locked.c_str(), 0700);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.out.find(locked + ": ERROR: cannot read the directory: Permission denied\n"), std::string::npos);
    EXPECT_NE(run.out.find(tree.infected + ": DOS.TmcBCOM"), std::string::npos) << run.out;
}

TEST(CliTree, ParallelWorkersGiveTheSameOutputAsOne) {
    fixtures::TempDir dir;
    std::filesystem::create_directories(dir.file("t"));
    for (int k = 0; k < 12; ++k) {
        const std::string name = "f" + std::to_string(k) + ".com";
        const Bytes clean = fixtures::dos::makeCom(1000 + 97 * k);
        fixtures::writeFile(dir.file("t/" + name), k % 3 ? clean : fixtures::dos::infectTmcBCom(clean));
    }
    const std::string root = quote(dir.file("t").string());
    Outcome one = remedy(dir, "scan --no-summary -j 1 " + root);
    Outcome four = remedy(dir, "scan --no-summary -j 4 " + root);
    EXPECT_EQ(one.status, 1) << one.err;
    EXPECT_EQ(four.status, 1) << four.err;
    EXPECT_EQ(four.out, one.out);
    EXPECT_EQ(std::count(one.out.begin(), one.out.end(), '\n'), 12);
}

TEST(CliTree, JsonGivesOneObjectALineAndASummary) {
    Tree tree;
    Outcome run = remedy(tree.dir, "scan --json --no-recurse " + quote(tree.root + "/sub") + " " +
                                       quote(tree.dir.file("missing").string()));
    EXPECT_EQ(run.status, 2) << run.err;
    // Times vary and the format code belongs to the classifier: both are masked.
    const std::string formatless = std::regex_replace(run.out, std::regex(R"("format":[0-9]+)"), "\"format\":F");
    const std::string timeless = std::regex_replace(formatless, std::regex(R"("time_ms":[0-9.]+)"), "\"time_ms\":T");
    const std::string summaryless = std::regex_replace(
        timeless, std::regex(R"("seconds":[0-9.]+,"mb_per_s":[0-9.]+,"memory_budget":[0-9]+,"memory_peak":[0-9]+,"rss_peak":[0-9]+)"),
        "S");
    const std::string size = std::to_string(std::filesystem::file_size(tree.infected));
    EXPECT_EQ(summaryless,
              "{\"path\":\"" + tree.infected + "\",\"size\":" + size +
                  ",\"format\":F,\"findings\":[{\"id\":\"0x00006551\",\"name\":\"DOS.TmcBCOM\",\"phase\":\"post-library\"}],"
                  "\"actions\":[],\"errors\":[],\"notes\":[],\"limits\":[],\"time_ms\":T}\n"
                  "{\"path\":\"" + tree.dir.file("missing").string() +
                  "\",\"size\":null,\"format\":null,\"findings\":[],\"actions\":[],\"errors\":[\"No such file or "
                  "directory\"],\"notes\":[],\"limits\":[],\"time_ms\":T}\n"
                  "{\"summary\":{\"files\":1,\"bytes\":" + size + ",\"found\":1,\"repaired\":0,\"removed\":0,"
                  "\"errors\":1,\"not_scanned\":0,\"limits_reached\":0,S}}\n");
}

TEST(CliTree, JsonKeepsLinesValidForNamesThatAreNotUtf8) {
    fixtures::TempDir dir;
    const std::string path = dir.file("bad\xFF\x01name").string();
    fixtures::writeFile(path, {'x'});
    Outcome run = remedy(dir, "scan --json --no-summary " + quote(path));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("bad\xEF\xBF\xBD\\u0001name\""), std::string::npos) << run.out;
}

TEST(CliTree, SummaryCountsWhatTheScanSaw) {
    Tree tree;
    Outcome run = remedy(tree.dir, "scan " + quote(tree.root));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(std::regex_search(run.out, std::regex("\n----------- SCAN SUMMARY -----------\nScanned files: 3\n"
                                                      "Scanned bytes: \\d+\nInfected files: 1\nRepaired files: 0\n"
                                                      "Removed files: 0\nErrors: 0\nNot scanned: 0\nLimits reached: 0\n"
                                                      "Time: [0-9.]+ sec\n"
                                                      "Rate: [0-9.]+ MB/s\nSymbolic links skipped: 1\n$")))
        << run.out;
}

}  // namespace

namespace {

// Compares `output` with tests/cli/golden/<name>.
void expectGolden(const std::string& name, const std::string& output) {
    fixtures::expectGolden(std::filesystem::path("cli") / "golden" / name, output);
}

// The golden tree also holds a name that would forge a line if printed raw: a newline, a
// verdict, an escape sequence and a byte that is not UTF-8; and a zip holding the infected
// program beside a tar.gz with a clean member and a name with "!" in it.
struct GoldenTree : Tree {
    GoldenTree() {
        fixtures::writeFile(root + "/odd: OK\ntree\x1b[8m\xff.txt", {'o'});
        namespace archives = fixtures::archives;
        const Bytes inner = archives::pack(ARCHIVE_FORMAT_TAR_PAX_RESTRICTED, ARCHIVE_FILTER_GZIP,
                                           {{"docs/readme.txt", {'r'}}, {"what!now.txt", {'w'}}});
        fixtures::writeFile(root + "/sub/games.zip",
                            archives::pack(ARCHIVE_FORMAT_ZIP, 0,
                                           {{"game.com", fixtures::dos::infectTmcBCom(fixtures::dos::makeCom(3333))},
                                            {"extras.tar.gz", inner}}));
    }
};

TEST(CliGolden, TextOutputOverAFixtureTree) {
    GoldenTree tree;
    Outcome run = remedy(tree.dir, "scan --no-summary tree", "cd " + quote(tree.dir.path().string()) + " &&");
    EXPECT_EQ(run.status, 1) << run.err;
    expectGolden("tree_scan.txt", run.out);
}

// JSON lines with the summary; times are the only fields masked.
TEST(CliGolden, JsonOutputOverAFixtureTree) {
    GoldenTree tree;
    Outcome run = remedy(tree.dir, "scan --json tree", "cd " + quote(tree.dir.path().string()) + " &&");
    EXPECT_EQ(run.status, 1) << run.err;
    std::string masked = std::regex_replace(run.out, std::regex(R"("time_ms":[0-9.]+)"), "\"time_ms\":0");
    masked = std::regex_replace(
        masked,
        std::regex(R"("seconds":[0-9.]+,"mb_per_s":[0-9.]+,"memory_budget":[0-9]+,"memory_peak":[0-9]+,"rss_peak":[0-9]+)"),
        "\"seconds\":0,\"mb_per_s\":0,\"memory_budget\":0,\"memory_peak\":0,\"rss_peak\":0");
    expectGolden("tree_scan.json", masked);
}

// With --dry-run, the line says what --clean would do.
TEST(CliGolden, DryRunOutputOverAFixtureTree) {
    GoldenTree tree;
    Outcome run = remedy(tree.dir, "scan --no-summary --dry-run --no-backup tree",
                         "cd " + quote(tree.dir.path().string()) + " &&");
    EXPECT_EQ(run.status, 1) << run.err;
    expectGolden("tree_dry_run.txt", run.out);
}

}  // namespace
