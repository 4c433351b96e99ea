// Magistr: found by the pre-library engine through the worm's import descriptor and its
// decryptor's marker, repaired by the kept unit after the emulator decrypted the body.
#include <gtest/gtest.h>

#include "tests/fixtures/magistr_funlove.h"
#include "tests/fixtures/win32_infectors.h"
#include "tests/support/module_driver.h"

using namespace fixtures::win32;
using fixtures::Bytes;

namespace {

constexpr uint32_t kMagistrId = 0x4cb8;

// What a repair leaves: the clean program but for the worm's import descriptor, the section
// count and the appended section's header values.
Bytes repairedMagistr(const MagistrInfection& infected) {
    Bytes expected = withAppendedSectionHeaderOf(infected.clean, infected.file);
    expected = fixtures::withBytesOf(expected, infected.file, kSectionCountAt, 2);
    return fixtures::withBytesOf(expected, infected.file, infected.importBytesAt, infected.importBytesLength);
}

TEST(MagistrScanKill, RestoresTheEntryCodeAndCutsTheBody) {
    struct Case {
        const char* name;
        MagistrOptions options;
    };
    const Case cases[] = {
        {"plain", {MagistrLayout::Plain}},
        {"keyed", {MagistrLayout::Keyed, 0x1F2E3D4C}},
        {"keyed, key 0", {MagistrLayout::Keyed, 0}},
        {"keyed, key all ones", {MagistrLayout::Keyed, 0xFFFFFFFF}},
        // The walk ends at the worm's descriptor although ordinary ones follow; the host's
        // imports stay unbound and its code ends in a fault.
        {"worm's descriptor first", {.descriptorFirst = true}},
    };
    for (const Case& c : cases) {
        const MagistrInfection infected = magistrPeInfect(c.options);
        const auto outcome = support::scanThenKill(infected.file, qe::FORMAT_PE);
        EXPECT_EQ(outcome.finding.virusId, kMagistrId) << c.name;
        EXPECT_EQ(outcome.finding.phase, host::Phase::PreLibrary) << c.name;
        ASSERT_EQ(outcome.result, KILL_REPAIRED) << c.name;
        EXPECT_FALSE(outcome.removed) << c.name;
        EXPECT_EQ(outcome.bytes, repairedMagistr(infected)) << c.name;
    }
}

// A body that keeps running once decrypted has no host to give control back to, and a body
// whose copy code is neither known layout cannot be undone: both files are the worm alone.
TEST(MagistrScanKill, DeletesTheWormAlone) {
    MagistrOptions endless;
    endless.bodyNeverEnds = true;
    MagistrOptions unknownPlain;
    unknownPlain.layoutUnknown = true;
    MagistrOptions unknownKeyed;
    unknownKeyed.layout = MagistrLayout::Keyed;
    unknownKeyed.layoutUnknown = true;
    for (const MagistrOptions& options : {endless, unknownPlain, unknownKeyed}) {
        const MagistrInfection infected = magistrPeInfect(options);
        const auto outcome = support::scanThenKill(infected.file, qe::FORMAT_PE);
        ASSERT_EQ(outcome.finding.virusId, kMagistrId);
        EXPECT_EQ(outcome.result, KILL_REMOVED);
        EXPECT_TRUE(outcome.removed);
    }
}

// Files that are not the worm's: nothing found, nothing changed.
TEST(MagistrScan, LeavesOtherFilesAlone) {
    struct Case {
        const char* name;
        Bytes file;
    };
    std::vector<Case> cases;
    cases.push_back({"clean program", cleanProgram()});
    for (uint32_t count : {0x184Au, 0x1C82u}) {
        MagistrOptions options;
        options.dwordCount = count;
        cases.push_back({"no marker in the registers", magistrPeInfect(options).file});
    }
    {
        // The table ends before the worm's descriptor.
        MagistrInfection infected = magistrPeInfect();
        fixtures::put32(infected.file, infected.descriptorAt + 4, 0);
        fixtures::put32(infected.file, infected.descriptorAt + 20 + 4, kImageBase + 0x3000);
        cases.push_back({"descriptor behind the table's end", infected.file});
    }
    {
        MagistrInfection infected = magistrPeInfect();
        fixtures::put32(infected.file, infected.descriptorAt + 4, kImageBase + 0xC000);
        cases.push_back({"body address beyond the image", infected.file});
    }
    {
        MagistrInfection infected = magistrPeInfect();
        fixtures::put32(infected.file, infected.descriptorAt + 8, 1);
        cases.push_back({"descriptor with two fields", infected.file});
    }
    {
        // Gives up after 65,536 steps without an XOR.
        MagistrOptions options;
        options.decryptorNeverEnds = true;
        cases.push_back({"decryptor that never ends", magistrPeInfect(options).file});
    }
    {
        // The worm's entry code without its FS override.
        MagistrInfection infected = magistrPeInfect();
        infected.file.at(0x400) = 0x90;
        cases.push_back({"entry code without 64h", infected.file});
    }
    for (const Case& c : cases) {
        const auto outcome = support::scanThenKill(c.file, qe::FORMAT_PE);
        EXPECT_NE(outcome.finding.virusId, kMagistrId) << c.name;
        EXPECT_EQ(outcome.bytes, c.file) << c.name;
    }
}

}  // namespace
