// Archive bombs and what cannot be unpacked: every limit stops the unpacking while it happens,
// and is said on the archive ("archive ... (LIMIT)"), which then counts as not fully scanned.
#include <gtest/gtest.h>

#include <archive.h>

#include "host/archive/archive_reader.h"
#include "tests/fixtures/archive_builder.h"
#include "tests/host/archive/archive_test_support.h"

namespace {

using namespace archivetest;
namespace archives = fixtures::archives;
using Repair = host::ScanSettings::Repair;

class ArchiveLimitsTest : public ::testing::Test {
protected:
    void SetUp() override { scanner = makeScanner(dir); }

    const Bytes clean = fixtures::dos::makeCom(3000);
    const Bytes infected = fixtures::dos::infectTmcBCom(clean);
    fixtures::TempDir dir;
    std::unique_ptr<host::FileScanner> scanner;
};

std::vector<std::string> levelNames(unsigned from, unsigned to) {
    std::vector<std::string> names;
    for (unsigned level = from; level >= to; --level) names.push_back("level" + std::to_string(level) + ".archive");
    return names;
}

TEST_F(ArchiveLimitsTest, NestingStopsAtTheDepthLimit) {
    const Bytes nested = archives::nested(ARCHIVE_FORMAT_TAR_PAX_RESTRICTED, {"a.com", infected}, 10);
    struct Row {
        unsigned maxDepth;
        bool found;
    };
    for (const Row& row : {Row{8, false}, Row{10, true}, Row{0, false}}) {
        SCOPED_TRACE(row.maxDepth);
        host::ScanSettings settings;
        settings.archives.maxDepth = row.maxDepth;
        const host::ScanResult result = scanner->scanBytes(nested, "bomb.tar", settings);
        EXPECT_EQ(result.foundAnywhere(), row.found);
        EXPECT_EQ(result.incomplete(), !row.found);
        if (!row.found) {
            EXPECT_EQ(result.limits, std::vector<std::string>{"archive nesting depth (" + std::to_string(row.maxDepth) + ")"});
            EXPECT_EQ(result.inside.size(), row.maxDepth);  // the archives opened, down to the limit
            continue;
        }
        std::vector<std::string> path = levelNames(9, 1);
        path.push_back("a.com");
        const host::ScanResult* com = member(result, path);
        ASSERT_NE(com, nullptr);
        EXPECT_EQ(com->findings[0].name, "Test.TmcB");
    }
}

TEST_F(ArchiveLimitsTest, AHundredThousandMembersStopAtTheMemberLimit) {
    const Bytes many = archives::manyMembers(100000);
    host::ScanSettings settings;
    ASSERT_EQ(settings.archives.maxMembers, 10000u);
    settings.archives.maxMembers = 2000;  // the default's behaviour, at a fifth of the engine runs
    const host::ScanResult result = scanner->scanBytes(many, "many.zip", settings);
    EXPECT_EQ(result.inside.size(), 2000u);
    EXPECT_EQ(result.limits, std::vector<std::string>{"archive members (2000)"});
    EXPECT_TRUE(result.incomplete());
}

// Zeros pack about a thousand to one: the ratio limit stops them long before the size limits.
TEST_F(ArchiveLimitsTest, ARatioBombStopsAtTheRatioLimit) {
    archives::writeZerosZip(dir.file("ratio.zip"), "zeros.bin", 64ull << 20);
    const uint64_t packed = std::filesystem::file_size(dir.file("ratio.zip"));
    ASSERT_LT(packed, (64ull << 20) / 250);
    const host::ScanResult result = scanner->scanPath(dir.file("ratio.zip").string(), {});
    EXPECT_EQ(result.limits, std::vector<std::string>{"archive compression ratio (250)"});
    EXPECT_TRUE(result.inside.empty());  // the member was never finished, so never scanned

    host::ScanSettings noRatio;
    noRatio.archives.maxRatio = 0;
    noRatio.archives.maxUnpacked = 16ull << 20;
    const host::ScanResult sized = scanner->scanPath(dir.file("ratio.zip").string(), noRatio);
    EXPECT_EQ(sized.limits, std::vector<std::string>{"archive unpacked size (16777216 bytes)"});
}

// A member larger than the size allowed is noted and skipped; its bytes still count.
TEST_F(ArchiveLimitsTest, AMemberLargerThanAllowedIsSkippedWithANote) {
    const Bytes zip = archives::pack(ARCHIVE_FORMAT_ZIP, 0, {{"big.bin", Bytes(100000, 'b')}, {"a.com", infected}});
    host::ScanSettings settings;
    settings.maxFileSize = 50000;
    const host::ScanResult result = scanner->scanBytes(zip, "a.zip", settings);
    const host::ScanResult* big = member(result, {"big.bin"});
    ASSERT_NE(big, nullptr);
    EXPECT_TRUE(big->skippedForSize);
    EXPECT_FALSE(big->scanned);
    EXPECT_EQ(big->size, 100000u);
    EXPECT_TRUE(member(result, {"a.com"})->found());
    EXPECT_EQ(result.limits, std::vector<std::string>{"archive member size (50000 bytes)"});

    // Such an archive is not rewritten: the member not read cannot be copied.
    settings.repair = Repair::InMemory;
    const host::ScanResult repair = scanner->scanBytes(zip, "a.zip", settings);
    EXPECT_FALSE(repair.repaired);
    EXPECT_TRUE(repair.repairedBytes.empty());
    EXPECT_EQ(repair.actions, std::vector<std::string>{"found inside; not every member could be read: not repaired"});
    EXPECT_FALSE(member(repair, {"a.com"})->repaired);
}

TEST_F(ArchiveLimitsTest, ALimitIsAFindingWhenTheCallerAsksForOne) {
    const Bytes nested = archives::nested(ARCHIVE_FORMAT_ZIP, {"a.txt", Bytes(10, 'x')}, 3);
    host::ScanSettings settings;
    settings.archives.maxDepth = 2;
    settings.alertExceedsMax = true;
    const host::ScanResult result = scanner->scanBytes(nested, "n.zip", settings);
    ASSERT_FALSE(result.findings.empty());
    EXPECT_EQ(result.findings.back().name, host::limitsExceededFinding().name);
}

TEST_F(ArchiveLimitsTest, AnEncryptedMemberIsNotedNotGuessed) {
    fixtures::writeFile(dir.file("a.com"), infected);
    fixtures::writeFile(dir.file("b.com"), infected);
    run(dir, "zip -q -P secret locked.zip a.com && zip -q plain-and-locked.zip b.com && zip -q -P secret plain-and-locked.zip a.com");
    const host::ScanResult locked = scanner->scanPath(dir.file("locked.zip").string(), {});
    const host::ScanResult* a = member(locked, {"a.com"});
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->notes, std::vector<std::string>{"encrypted member, not scanned"});
    EXPECT_FALSE(a->scanned);
    EXPECT_TRUE(a->unreadable);

    host::ScanSettings settings;
    settings.repair = Repair::Commit;
    settings.commit.noBackup = true;
    const Bytes before = fixtures::readFile(dir.file("plain-and-locked.zip"));
    const host::ScanResult mixed = scanner->scanPath(dir.file("plain-and-locked.zip").string(), settings);
    EXPECT_TRUE(member(mixed, {"b.com"})->found());
    EXPECT_EQ(mixed.actions, std::vector<std::string>{"found inside; not every member could be read: not repaired"});
    EXPECT_EQ(fixtures::readFile(dir.file("plain-and-locked.zip")), before);
}

// A program is the module's to judge, a self-extractor with a zip at its end included.
TEST_F(ArchiveLimitsTest, AProgramWithAnArchiveAppendedStaysAProgram) {
    const Bytes zip = archives::pack(ARCHIVE_FORMAT_ZIP, 0, {{"a.com", infected}});
    const Bytes program = fixtures::concat(fixtures::dos::makeMz({}), zip);
    const host::ScanResult asProgram = scanner->scanBytes(program, "setup.exe", {});
    EXPECT_TRUE(asProgram.scanned);
    EXPECT_TRUE(asProgram.inside.empty());
    EXPECT_TRUE(scanner->scanBytes(zip, "a.zip", {}).foundAnywhere());  // the same zip alone is opened
}

// A repair in memory (the daemon's) hands back the rewritten archive, nested archives included.
TEST_F(ArchiveLimitsTest, ARepairInMemoryRewritesNestedArchives) {
    const Bytes inner = archives::pack(ARCHIVE_FORMAT_TAR_PAX_RESTRICTED, ARCHIVE_FILTER_GZIP,
                                       {{"a.com", infected}, {"keep.txt", Bytes(300, 'k'), 1300000000, 0600}});
    const Bytes outer = archives::pack(ARCHIVE_FORMAT_ZIP, 0, {{"readme", Bytes(20, 'r')}, {"inner.tar.gz", inner}});
    host::ScanSettings settings;
    settings.repair = Repair::InMemory;
    const host::ScanResult result = scanner->scanBytes(outer, "outer.zip", settings);
    ASSERT_TRUE(result.repaired);
    EXPECT_EQ(result.actions, std::vector<std::string>{"repaired inside"});
    ASSERT_EQ(result.inside.size(), 4u);  // inner's members, then inner, in archive order
    EXPECT_EQ(result.inside[0].members, (std::vector<std::string>{"readme"}));
    EXPECT_EQ(result.inside[1].members, (std::vector<std::string>{"inner.tar.gz", "a.com"}));
    EXPECT_EQ(result.inside[3].members, (std::vector<std::string>{"inner.tar.gz"}));
    EXPECT_TRUE(result.inside[1].repaired);

    const host::ScanResult again = scanner->scanBytes(result.repairedBytes, "outer.zip", {});
    EXPECT_FALSE(again.foundAnywhere());
    EXPECT_EQ(again.inside.size(), 4u);
    fixtures::writeFile(dir.file("outer.zip"), result.repairedBytes);
    run(dir, "mkdir out && cd out && unzip -q ../outer.zip && mkdir in && tar -xpzf inner.tar.gz -C in");
    EXPECT_EQ(fixtures::readFile(dir.file("out/in/a.com")), clean);
    EXPECT_EQ(fixtures::readFile(dir.file("out/in/keep.txt")), Bytes(300, 'k'));
    EXPECT_EQ(fixtures::readFile(dir.file("out/readme")), Bytes(20, 'r'));
    const struct stat keep = statOf(dir.file("out/in/keep.txt"));
    EXPECT_EQ(keep.st_mtim.tv_sec, 1300000000);
    EXPECT_EQ(keep.st_mode & 07777, 0600u);
}

// Zeros at the start of a compressed file read as the end of an empty tar; the file is one
// compressed file all the same, and what follows the zeros is scanned.
TEST(ArchiveReader, ACompressedFileStartingWithZerosIsNotAnEmptyTar) {
    fixtures::TempDir dir;
    auto scanner = makeScanner(dir, "rule Marker { meta: virus_id = 0x7EC1A001 strings: $a = \"hidden-after-zeros\" "
                                    "condition: $a }\n");
    const std::string marker = "hidden-after-zeros";
    Bytes content(8192 + marker.size(), 0);
    std::copy(marker.begin(), marker.end(), content.begin() + 8192);
    fixtures::writeFile(dir.file("data.bin"), content);
    run(dir, "gzip data.bin");
    const host::ScanResult result = scanner->scanPath(dir.file("data.bin.gz").string(), {});
    const host::ScanResult* inside = member(result, {"data.bin"});
    ASSERT_NE(inside, nullptr);
    EXPECT_TRUE(inside->found());
}

// libarchive may fall back to an outside program for a compression it was built without:
// remedy would then run a program on hostile input. Every decoder it uses must be built in.
TEST(ArchiveReader, EveryDecoderIsBuiltIn) {
    for (const auto& [name, compress] : std::vector<std::pair<const char*, const char*>>{
             {"gz", "gzip"}, {"bz2", "bzip2"}, {"xz", "xz"}, {"zst", "zstd"}}) {
        fixtures::TempDir dir;
        fixtures::writeFile(dir.file("a.com"), Bytes(100, 'a'));
        run(dir, std::string(compress) + " -k a.com");
        const Bytes packed = fixtures::readFile(dir.file(std::string("a.com.") + name));
        const auto reader = host::ArchiveReader::open(packed);
        ASSERT_NE(reader, nullptr) << name;
        EXPECT_EQ(reader->kind().name(), name);
        EXPECT_TRUE(reader->kind().singleFile());
    }
    struct archive* probe = archive_read_new();
    EXPECT_EQ(archive_read_support_filter_gzip(probe), ARCHIVE_OK);
    EXPECT_EQ(archive_read_support_filter_bzip2(probe), ARCHIVE_OK);
    EXPECT_EQ(archive_read_support_filter_xz(probe), ARCHIVE_OK);
    EXPECT_EQ(archive_read_support_filter_zstd(probe), ARCHIVE_OK);
    EXPECT_EQ(archive_read_support_filter_lz4(probe), ARCHIVE_OK);
    archive_read_free(probe);
}

}  // namespace
