// Archives at the command line: a member's own line ARCHIVE!MEMBER (escaped; member names are
// the archive author's), JSON path plus members, the exit status, --clean writing the archive
// again through the quarantined commit, the limits' options, and a bomb ending within its
// limits in bounded memory.
#include <gtest/gtest.h>

#include <archive.h>

#include <regex>

#include "tests/cli/cli_runner.h"
#include "tests/fixtures/archive_builder.h"
#include "tests/fixtures/bytes.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"

namespace {

using fixtures::Bytes;
using namespace clitest;
namespace archives = fixtures::archives;

const Bytes kClean = fixtures::dos::makeCom(3000);
const Bytes kInfected = fixtures::dos::infectTmcBCom(kClean);

std::string lineAbout(const std::string& out, const std::string& start) {
    for (size_t at = 0, end; at < out.size(); at = end + 1) {
        end = out.find('\n', at);
        if (out.compare(at, start.size(), start) == 0) return out.substr(at, end - at);
    }
    return {};
}

// Names that climb out, start at the root, hold control bytes, a "!" or bytes that are not UTF-8.
TEST(CliArchives, HostileMemberNamesAreEscapedInTextAndExactInJson) {
    fixtures::TempDir dir;
    const std::string archive = dir.file("names.tar").string();
    fixtures::writeFile(archive, archives::pack(ARCHIVE_FORMAT_TAR_PAX_RESTRICTED, 0,
                                                {{"../../etc/evil.com", kInfected},
                                                 {"/abs/a!b.com", {'x'}},
                                                 {"line\nforged: OK\x1b[2J.com", {'y'}},
                                                 {"bad\xff.txt", {'z'}}}));
    Outcome text = remedy(dir, "scan --no-summary " + quote(archive));
    EXPECT_EQ(text.status, 1) << text.err;
    EXPECT_EQ(text.out, archive + "!../../etc/evil.com: DOS.TmcBCOM 0x00006551 FOUND (post-library)\n" +
                            archive + "!/abs/a\\x21b.com: OK\n" +
                            archive + "!line\\nforged: OK\\x1b[2J.com: OK\n" +
                            archive + "!bad\\xff.txt: OK\n" +
                            archive + ": 1 member found inside\n");

    Outcome json = remedy(dir, "scan --no-summary --json " + quote(archive));
    EXPECT_EQ(json.status, 1) << json.err;
    EXPECT_NE(json.out.find("{\"path\":" + std::string("\"") + archive + "\",\"members\":[\"../../etc/evil.com\"],"),
              std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"members\":[\"line\\nforged: OK\\u001B[2J.com\"]"), std::string::npos) << json.out;
    // The readable form of a name that is not UTF-8, with its exact bytes beside it.
    EXPECT_NE(json.out.find("\"members\":[\"bad\xef\xbf\xbd.txt\"],\"members_bytes\":[\"YmFk/y50eHQ=\"]"),
              std::string::npos) << json.out;
}

// The nested member is repaired, both archives are written again, the original goes to the
// quarantine, and the summary counts the members as files.
TEST(CliArchives, CleanRepairsANestedMemberAndKeepsTheOriginal) {
    fixtures::TempDir dir;
    const Bytes inner = archives::pack(ARCHIVE_FORMAT_TAR_GNUTAR, ARCHIVE_FILTER_XZ, {{"a.com", kInfected}});
    const std::string archive = dir.file("outer.zip").string();
    const Bytes original = archives::pack(ARCHIVE_FORMAT_ZIP, 0, {{"inner.tar.xz", inner}, {"b.txt", {'b'}}});
    fixtures::writeFile(archive, original);
    const std::string quarantine = dir.file("q").string();
    Outcome run = remedy(dir, "scan --clean --quarantine " + quote(quarantine) + " " + quote(archive));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(lineAbout(run.out, archive + "!inner.tar.xz!a.com: "),
              archive + "!inner.tar.xz!a.com: DOS.TmcBCOM 0x00006551 FOUND (post-library); repaired in the archive");
    EXPECT_EQ(lineAbout(run.out, archive + "!inner.tar.xz: "), archive + "!inner.tar.xz: repaired inside");
    EXPECT_EQ(lineAbout(run.out, archive + ": ").rfind(archive + ": repaired (original kept as " + quarantine, 0), 0u)
        << run.out;
    EXPECT_NE(run.out.find("Scanned files: 4\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Infected files: 1\nRepaired files: 1\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Scanned bytes: " + std::to_string(original.size()) + "\n"), std::string::npos) << run.out;
    const std::vector<std::filesystem::path> kept = quarantinedFiles(quarantine);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(fixtures::readFile(kept[0]), original);

    Outcome again = remedy(dir, "scan --no-summary " + quote(archive));
    EXPECT_EQ(again.status, 0) << again.out;
}

TEST(CliArchives, TheLimitOptionsAreCheckedAndSaidOnTheArchive) {
    fixtures::TempDir dir;
    const std::string archive = dir.file("n.tar").string();
    fixtures::writeFile(archive, archives::nested(ARCHIVE_FORMAT_TAR_USTAR, {"a.com", kInfected}, 3));
    Outcome limited = remedy(dir, "scan --no-summary --max-recursion 2 " + quote(archive));
    EXPECT_EQ(limited.status, 0) << limited.out;
    EXPECT_EQ(lineAbout(limited.out, archive + ": "), archive + ": limit reached: archive nesting depth (2)");
    Outcome alerted = remedy(dir, "scan --no-summary --alert-exceeds-max --max-recursion 2 " + quote(archive));
    EXPECT_EQ(alerted.status, 1) << alerted.out;
    Outcome deep = remedy(dir, "scan --no-summary --max-recursion 3 " + quote(archive));
    EXPECT_EQ(deep.status, 1) << deep.out;

    for (const char* bad : {"--max-recursion 65", "--max-files 0", "--max-scansize 12Q", "--max-ratio -1"}) {
        Outcome refused = remedy(dir, std::string("scan ") + bad + " " + quote(archive));
        EXPECT_EQ(refused.status, 2) << bad;
        EXPECT_NE(refused.err.find(std::string(bad).substr(0, std::string(bad).find(' '))), std::string::npos)
            << refused.err;
    }
}

// A gigabyte of zeros in a zip of about a megabyte, made without ever holding the zeros: with
// the default limits the ratio stops it; without the ratio limit, --max-scansize does. The
// member is never held past --max-filesize, so memory stays far below the gigabyte.
TEST(CliArchives, AGigabyteOfZerosEndsAtItsLimitInBoundedMemory) {
    fixtures::TempDir dir;
    const std::string archive = dir.file("zeros.zip").string();
    archives::writeZerosZip(archive, "zeros.bin", 1ull << 30);
    struct Row {
        const char* options;
        const char* limit;
    };
    for (const Row& row : {Row{"", "archive compression ratio (250)"},
                           Row{"--max-ratio 0 --max-scansize 300M", "archive unpacked size (314572800 bytes)"}}) {
        SCOPED_TRACE(row.options);
        Outcome run = remedy(dir, std::string("scan --json ") + row.options + " " + quote(archive));
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("\"limits\":[\"" + std::string(row.limit) + "\"]"), std::string::npos) << run.out;
        std::smatch rss;
        ASSERT_TRUE(std::regex_search(run.out, rss, std::regex(R"("rss_peak":([0-9]+))"))) << run.out;
        EXPECT_LT(std::stoull(rss[1]), 300ull << 20) << "peak resident memory";
    }
}

}  // namespace
