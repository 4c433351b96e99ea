// The remedy command with signature rules: the shipped rules name the kill-only families in a
// plain scan, --clean repairs them, --rules adds a user's rules and broken rules stop the scan
// with the file and line.
#include <gtest/gtest.h>

#include "tests/cli/cli_runner.h"
#include "tests/fixtures/bytes.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"

namespace {

using fixtures::Bytes;
using namespace clitest;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(CliRules, ShippedRulesFindAndCleanRepairs) {
    fixtures::TempDir dir;
    const Bytes clean = fixtures::dos::makeCom(9000);
    fixtures::writeFile(dir.file("bomber.com"), fixtures::dos::infectBomber(clean, 1500));
    const std::string path = dir.file("bomber.com").string();

    Outcome scan = remedy(dir, "scan --no-summary " + quote(path));
    EXPECT_EQ(scan.status, 1) << scan.err;
    EXPECT_EQ(scan.out, path + ": DOS.BomberCOM 0x0000AB37 FOUND (signatures)\n");

    Outcome plain = remedy(dir, "scan --no-summary --no-default-rules " + quote(path));
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.out, path + ": OK\n");

    Outcome repair = remedy(dir, "scan --no-summary --clean --quarantine " + quote(dir.file("q").string()) + " " +
                                     quote(path));
    EXPECT_EQ(repair.status, 1) << repair.err;
    EXPECT_NE(repair.out.find("FOUND (signatures); repaired"), std::string::npos) << repair.out;
    EXPECT_EQ(fixtures::readFile(path), clean);
}

// A user's rule is added to the shipped ones; a name no unit table knows comes from the rule.
TEST(CliRules, UserRulesAreAddedAndNameTheirFinding) {
    fixtures::TempDir dir;
    fixtures::writeFile(dir.file("mine.yar"),
                        text("rule Local_Marker { meta: virus_id = 0x00190777 strings: $m = \"LOCAL-MARKER\" "
                             "condition: $m }\n"));
    fixtures::writeFile(dir.file("note.txt"), text("a file with LOCAL-MARKER inside\n"));
    const std::string note = dir.file("note.txt").string();
    Outcome without = remedy(dir, "scan --no-summary " + quote(note));
    EXPECT_EQ(without.out, note + ": OK\n");
    Outcome with = remedy(dir, "scan --no-summary --rules " + quote(dir.file("mine.yar").string()) + " " + quote(note));
    EXPECT_EQ(with.status, 1) << with.err;
    EXPECT_EQ(with.out, note + ": Local_Marker 0x00190777 FOUND (signatures)\n");
    Outcome json = remedy(dir, "scan --json --no-summary --rules " + quote(dir.file("mine.yar").string()) + " " +
                                   quote(note));
    EXPECT_NE(json.out.find(R"("findings":[{"id":"0x00190777","name":"Local_Marker","phase":"signatures",)"
                            R"("rule":"Local_Marker"}])"),
              std::string::npos)
        << json.out;
}

TEST(CliRules, BrokenRulesStopTheScanNamingFileAndLine) {
    fixtures::TempDir dir;
    fixtures::writeFile(dir.file("bad.yar"), text("rule fine { meta: virus_id = 1 condition: false }\n"
                                                  "rule broken {\n"
                                                  "  meta: virus_id = 2\n"
                                                  "  condition: $missing\n"
                                                  "}\n"));
    fixtures::writeFile(dir.file("a.txt"), text("x"));
    const std::string bad = dir.file("bad.yar").string();
    Outcome run = remedy(dir, "scan --rules " + quote(bad) + " " + quote(dir.file("a.txt").string()));
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    // An undefined string is reported where its rule's condition ends.
    EXPECT_NE(run.err.find(bad + ":5: undefined string"), std::string::npos) << run.err;

    Outcome missing = remedy(dir, "scan --rules " + quote(dir.file("none.yar").string()) + " " +
                                      quote(dir.file("a.txt").string()));
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("none.yar"), std::string::npos) << missing.err;
}

// Every worker scans with the one compiled library and finds the same.
TEST(CliRules, WorkersShareTheRules) {
    fixtures::TempDir dir;
    std::string expected, paths;
    for (int i = 0; i < 12; ++i) {
        const std::string name = "y" + std::to_string(i) + ".com";
        const Bytes file = i % 3 ? fixtures::dos::infectYouth555(fixtures::dos::makeCom(700 + 10 * i), uint8_t(i))
                                 : fixtures::dos::makeCom(700 + 10 * i);
        fixtures::writeFile(dir.file(name), file);
        const std::string path = dir.file(name).string();
        paths += " " + quote(path);
        expected += path + (i % 3 ? ": DOS.Youth555Com 0x00003DD8 FOUND (signatures)\n" : ": OK\n");
    }
    Outcome run = remedy(dir, "scan --no-summary -j 6" + paths);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.out, expected);
}

}  // namespace
