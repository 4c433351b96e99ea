// Reading the unit listing beside a module: rows, the name of a virus identifier, and every
// way a listing file can be unusable.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "host/module_host.h"
#include "host/unit_listing.h"
#include "tests/fixtures/bytes.h"

namespace {

using fixtures::Bytes;

std::shared_ptr<const host::UnitListing> parse(const std::string& text, std::string* error = nullptr) {
    return host::UnitListing::parse(text, "L", error);
}

const char kListing[] =
    "# TABLE ROW KEY ID STATE CLASS NAME\n"
    "\n"
    "aPEScanAfterLib  0 virus   0x40153126 built CScanUnknownVBDownLoader Win32.VBDownloader\n"
    "aPEKill          0 virus   0x00153126 inert CKillOther               Win32.Other\n"
    "aCOMKill         4 virus   0x00003DDD built CScanVoronezh1600Com     DOS.Voronezh1600Com\n"
    "aMethodKill      0 method  0x00000007 built CScanSeven               Win32.Seven\n"
    "aSpecKill        0 special 0x00000008 built CKillEight               Special.Eight\n";

TEST(UnitListing, ReadsEveryRowsColumns) {
    std::string error;
    const auto listing = parse(kListing, &error);
    ASSERT_TRUE(listing) << error;
    ASSERT_EQ(listing->rows().size(), 5u);
    const host::UnitListingRow& row = listing->rows()[2];
    EXPECT_EQ(row.table, "aCOMKill");
    EXPECT_EQ(row.row, 4u);
    EXPECT_EQ(row.key, host::UnitListingRow::Key::Virus);
    EXPECT_EQ(row.id, 0x3DDDu);
    EXPECT_TRUE(row.built);
    EXPECT_EQ(row.unitClass, "CScanVoronezh1600Com");
    EXPECT_EQ(row.name, "DOS.Voronezh1600Com");
    EXPECT_EQ(row.line, "aCOMKill         4 virus   0x00003DDD built CScanVoronezh1600Com     DOS.Voronezh1600Com");
    EXPECT_FALSE(listing->rows()[1].built);
    EXPECT_EQ(listing->rows()[3].key, host::UnitListingRow::Key::Method);
    EXPECT_EQ(listing->rows()[4].key, host::UnitListingRow::Key::Special);
}

TEST(UnitListing, NameOfAVirusIdentifier) {
    const auto listing = parse(kListing);
    ASSERT_TRUE(listing);
    struct Case {
        uint32_t id;
        const char* name;
    } cases[] = {
        {0x40153126, "Win32.VBDownloader"},   // the exact identifier wins over an earlier masked match
        {0x00153126, "Win32.Other"},          // exact, in a later row
        {0x20003DDD, "DOS.Voronezh1600Com"},  // flag bits set: the row without them
        {0x80003DDD, "DOS.Voronezh1600Com"},
        {0x00003DDD, "DOS.Voronezh1600Com"},
        {0x00000007, ""},                     // method and special numbers name no virus
        {0x00000008, ""},
        {0x00012345, ""},
        {0, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(listing->nameOf(c.id), c.name) << std::hex << c.id;
}

TEST(UnitListing, RefusesLinesThatAreNotRows) {
    const std::string good = "aCOMKill 0 virus 0x00003DDD built CScanX DOS.X\n";
    struct Case {
        const char* what;
        std::string text;
        std::string error;
    } cases[] = {
        {"six columns", good + "aCOMKill 1 virus 0x00003DDD built CScanX\n", "L:2: expected 7 columns (TABLE ROW KEY ID STATE CLASS NAME), found 6"},
        {"eight columns", "aCOMKill 1 virus 0x00003DDD built CScanX DOS.X extra\n", "L:1: expected 7 columns (TABLE ROW KEY ID STATE CLASS NAME), found more"},
        {"a row number in hex", "aCOMKill 0x1 virus 0x00003DDD built CScanX DOS.X\n", "L:1: the row number is not a decimal number"},
        {"a negative row number", "aCOMKill -1 virus 0x00003DDD built CScanX DOS.X\n", "L:1: the row number is not a decimal number"},
        {"an unknown key", "aCOMKill 0 worm 0x00003DDD built CScanX DOS.X\n", "L:1: the key is not virus, method or special"},
        {"a short identifier", "aCOMKill 0 virus 0x3DDD built CScanX DOS.X\n", "L:1: the identifier is not 0x and eight hex digits"},
        {"an identifier without 0x", "aCOMKill 0 virus 0000003DDD built CScanX DOS.X\n", "L:1: the identifier is not 0x and eight hex digits"},
        {"a signed identifier", "aCOMKill 0 virus 0x-0003DDD built CScanX DOS.X\n", "L:1: the identifier is not 0x and eight hex digits"},
        {"an unknown state", "aCOMKill 0 virus 0x00003DDD implemented CScanX DOS.X\n", "L:1: the state is not built or inert"},
        {"a carriage return", "aCOMKill 0 virus 0x00003DDD built CScanX DOS.X\r\n", "L:1: the line ends with a carriage return"},
        {"a NUL byte", good + std::string("aCOMKill 0 virus 0x00003DDD built CScanX DOS\0X\n", 47), "L:2: the line holds a NUL byte"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(parse(c.text, &error)) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
    }
    // The last line needs no newline; an empty text is an empty listing.
    ASSERT_TRUE(parse(good.substr(0, good.size() - 1)));
    EXPECT_EQ(parse(good.substr(0, good.size() - 1))->rows().size(), 1u);
    ASSERT_TRUE(parse(""));
    EXPECT_TRUE(parse("")->rows().empty());
}

TEST(UnitListing, LoadRefusesWhatIsNoListingFile) {
    fixtures::TempDir dir;
    const std::filesystem::path good = dir.file("good.units"), big = dir.file("big.units"), fifo = dir.file("fifo.units");
    fixtures::writeFile(good, Bytes(std::begin(kListing), std::end(kListing) - 1));
    fixtures::writeFile(big, Bytes(host::UnitListing::kMaxBytes + 1, '#'));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string error;
    const auto listing = host::UnitListing::load(good, &error);
    ASSERT_TRUE(listing) << error;
    EXPECT_EQ(listing->rows().size(), 5u);
    struct Case {
        std::filesystem::path file;
        std::string error;
    } cases[] = {
        {dir.file("missing.units"), dir.file("missing.units").string() + ": No such file or directory"},
        {dir.path(), dir.path().string() + ": not a regular file"},
        {fifo, fifo.string() + ": not a regular file"},  // refused, not waited on
        {big, big.string() + ": larger than 4194304 bytes"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(host::UnitListing::load(c.file, &error)) << c.file;
        EXPECT_EQ(error, c.error);
    }
}

TEST(UnitListing, LiesBesideTheModule) {
    EXPECT_EQ(host::unitListingPath("/opt/remedy/lib/libremedy.so"), "/opt/remedy/lib/libremedy.units");
    EXPECT_EQ(host::unitListingPath("lib/other"), "lib/other.units");
    EXPECT_EQ(host::unitListingPath("/x/libremedy.so.1"), "/x/libremedy.so.units");
    // The built module has its listing beside it, and a loaded module names its own file.
    std::string error;
    const auto module = host::Module::load(REMEDY_MODULE_PATH, &error);
    ASSERT_TRUE(module) << error;
    EXPECT_EQ(std::filesystem::path(module->fileName()), std::filesystem::path(REMEDY_MODULE_PATH));
    const auto listing = host::UnitListing::load(host::unitListingPath(module->fileName()), &error);
    ASSERT_TRUE(listing) << error;
    EXPECT_EQ(listing->nameOf(0x00006551), "DOS.TmcBCOM");
}

}  // namespace
