// The Tanatos cleaners through the kill engine: the outer packed file gets its header values
// back from the block behind the section table, loses the three added sections and the body,
// and is copied over the scanned (unpacked) image; a worm of three sections is deleted.
#include <gtest/gtest.h>

#include "tests/fixtures/pe_builder.h"
#include "tests/fixtures/worms_nimda_viking_tanatos_xld.h"
#include "tests/support/module_driver.h"

using fixtures::Bytes;
using namespace fixtures::worms;

namespace {

uint32_t idOf(TanatosVariant variant) { return variant == TanatosVariant::A ? 0x12769u : 0x15fb1u; }

struct RepairCase {
    TanatosVariant variant;
    uint32_t hostSections;
};

class TanatosRepair : public ::testing::TestWithParam<RepairCase> {};

TEST_P(TanatosRepair, OuterFileIsRestoredAndCopiedOverTheImage) {
    const RepairCase c = GetParam();
    const TanatosInfected infected = tanatosInfect(c.variant, c.hostSections);
    // The saved block follows the infected section count.
    ASSERT_EQ(infected.savedAt, fixtures::PeBuilder::kPeOffset + 0xF8 + 40 * (c.hostSections + 3));
    ASSERT_NE(infected.repaired, infected.clean);
    support::Sample sample = support::Sample::insidePacked(cleanHost(2, 0x1400), infected.file);
    EXPECT_EQ(sample.kill(host::KillRequest::byId(idOf(c.variant))).result, KILL_REPAIRED);
    EXPECT_EQ(sample.outer->bytes(), infected.repaired);
    EXPECT_EQ(sample.outer->bytes().size(), infected.file.size() - tanatosBodyLength(c.variant));
    EXPECT_EQ(sample.scanned->bytes(), sample.outer->bytes());
    EXPECT_FALSE(sample.scanned->removed());
    EXPECT_FALSE(sample.outer->removed());
}

INSTANTIATE_TEST_SUITE_P(Worm, TanatosRepair,
                         ::testing::Values(RepairCase{TanatosVariant::Plain, 1}, RepairCase{TanatosVariant::Plain, 2},
                                           RepairCase{TanatosVariant::A, 1}, RepairCase{TanatosVariant::A, 2}),
                         [](const auto& info) {
                             return std::string(info.param.variant == TanatosVariant::A ? "A" : "Plain") +
                                    std::to_string(info.param.hostSections) + "HostSections";
                         });

// The plain cleaner leaves the relocation directory as the worm left it.
TEST(TanatosKill, OnlyTheAVariantRestoresRelocations) {
    const TanatosInfected infected = tanatosInfect(TanatosVariant::A, 2);
    support::Sample sample = support::Sample::insidePacked(cleanHost(), infected.file);
    // The plain cleaner's body is shorter: it cuts 0xA800 bytes.
    EXPECT_EQ(sample.kill(host::KillRequest::byId(idOf(TanatosVariant::Plain))).result, KILL_REPAIRED);
    Bytes expected = infected.repaired;
    fixtures::put32(expected, fixtures::PeBuilder::kPeOffset + 0xA0, 0);
    fixtures::put32(expected, fixtures::PeBuilder::kPeOffset + 0xA4, 0);
    const Bytes outer(sample.outer->bytes().begin(), sample.outer->bytes().end());
    ASSERT_EQ(outer.size(), infected.file.size() - tanatosBodyLength(TanatosVariant::Plain));
    EXPECT_EQ(Bytes(outer.begin(), outer.begin() + expected.size()), expected);
}

TEST(TanatosKill, WormOfThreeSectionsIsDeleted) {
    for (TanatosVariant variant : {TanatosVariant::Plain, TanatosVariant::A}) {
        const Bytes worm = tanatosBareWorm(variant);
        support::Sample sample = support::Sample::insidePacked(worm, worm);
        EXPECT_EQ(sample.kill(host::KillRequest::byId(idOf(variant))).result, KILL_REMOVED);
        EXPECT_TRUE(sample.scanned->removed());
        EXPECT_EQ(sample.outer->bytes(), worm);
    }
}

TEST(TanatosKill, ImageWithoutOuterFileIsRefused) {
    const TanatosInfected infected = tanatosInfect(TanatosVariant::Plain, 2);
    support::Sample sample(infected.file, qe::FORMAT_PE);
    EXPECT_EQ(sample.kill(host::KillRequest::byId(idOf(TanatosVariant::Plain))).result, uint32_t(QE_E_INVALIDARG));
    EXPECT_EQ(sample.scanned->bytes(), infected.file);
}

TEST(TanatosKill, OuterFileThatCannotBePreparedIsLeftAlone) {
    const TanatosInfected infected = tanatosInfect(TanatosVariant::A, 2);
    const Bytes unpacked = cleanHost(1);
    support::Sample sample = support::Sample::insidePacked(unpacked, infected.file);
    sample.outer->setPrepareFails(true);
    EXPECT_EQ(sample.kill(host::KillRequest::byId(idOf(TanatosVariant::A))).result, uint32_t(QE_E_FAIL));
    EXPECT_EQ(sample.outer->bytes(), infected.file);
    EXPECT_EQ(sample.scanned->bytes(), unpacked);
}

// A file too short to hold the body behind its headers is not this worm: nothing is written.
TEST(TanatosKill, FileShorterThanTheBodyIsLeftAlone) {
    const TanatosInfected infected = tanatosInfect(TanatosVariant::A, 2);
    const Bytes cut(infected.file.begin(), infected.file.begin() + 0x1000);
    const Bytes unpacked = cleanHost(1);
    support::Sample sample = support::Sample::insidePacked(unpacked, cut);
    EXPECT_EQ(sample.kill(host::KillRequest::byId(idOf(TanatosVariant::A))).result, KILL_FAILED);
    EXPECT_EQ(sample.outer->bytes(), cut);
    EXPECT_EQ(sample.scanned->bytes(), unpacked);
}

}  // namespace
