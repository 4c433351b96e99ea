// The Viking cleaner through the kill engine: what follows the worm's image (and its debug data)
// is moved to the front; the worm alone is deleted; a packed worm file is repaired in the outer
// file, which the scanned image then receives a copy of.
#include <gtest/gtest.h>

#include "tests/fixtures/pe_builder.h"
#include "tests/fixtures/worms_nimda_viking_tanatos_xld.h"
#include "tests/support/module_driver.h"

using fixtures::Bytes;
using namespace fixtures::worms;

namespace {

constexpr uint32_t kVikingMethod = 1;

TEST(VikingKill, EveryRegistrationMovesTheHostToTheFront) {
    const Bytes host = cleanHost();
    const VikingWorm worm = vikingWorm(host);
    for (uint32_t id : {0x60c59u, 0x5c6acu, 0x54774u, 0x54aebu, 0x54b65u, 0x54ba9u, 0x54bcdu, 0x483d5u, 0x48317u,
                        0x6017cu}) {
        support::Sample sample(worm.file, qe::FORMAT_PE);
        EXPECT_EQ(sample.kill(host::KillRequest::byId(id)).result, KILL_REPAIRED) << std::hex << id;
        EXPECT_EQ(sample.scanned->bytes(), host) << std::hex << id;
    }
}

struct DebugCase {
    const char* name;
    VikingDebug debug;
};

class VikingDebugData : public ::testing::TestWithParam<DebugCase> {};

// The debug data behind the worm goes with it; an entry pointing into the worm's own sections
// does not move the end of the worm. The host is longer than the 0x2000-byte copy block.
TEST_P(VikingDebugData, HostAloneRemains) {
    const Bytes host = cleanHost(1, 0x2A00);
    const VikingWorm worm = vikingWorm(host, GetParam().debug);
    support::Sample sample(worm.file, qe::FORMAT_PE);
    EXPECT_EQ(sample.kill(host::KillRequest::byMethod(kVikingMethod)).result, KILL_REPAIRED);
    EXPECT_EQ(sample.scanned->bytes(), host);
}

TEST_P(VikingDebugData, WormAloneIsDeleted) {
    const VikingWorm worm = vikingWorm({}, GetParam().debug);
    support::Sample sample(worm.file, qe::FORMAT_PE);
    EXPECT_EQ(sample.kill(host::KillRequest::byMethod(kVikingMethod)).result, KILL_REMOVED);
    EXPECT_TRUE(sample.scanned->removed());
}

INSTANTIATE_TEST_SUITE_P(Worm, VikingDebugData,
                         ::testing::Values(DebugCase{"none", VikingDebug::None},
                                           DebugCase{"behindTheWorm", VikingDebug::Behind},
                                           DebugCase{"pointingIntoTheWorm", VikingDebug::PointsBelow}),
                         [](const auto& info) { return std::string(info.param.name); });

// Without the debug directory the worm's debug data counts as part of the host.
TEST(VikingKill, DebugDataWithoutItsDirectoryStays) {
    const Bytes host = cleanHost();
    VikingWorm worm = vikingWorm(host, VikingDebug::Behind);
    const uint32_t directoryAt = fixtures::peHeaderOffset(worm.file) + 24 + 96 + 8 * 6;
    fixtures::put32(worm.file, directoryAt, 0);
    fixtures::put32(worm.file, directoryAt + 4, 0);
    support::Sample sample(worm.file, qe::FORMAT_PE);
    EXPECT_EQ(sample.kill(host::KillRequest::byMethod(kVikingMethod)).result, KILL_REPAIRED);
    EXPECT_EQ(sample.scanned->bytes(), fixtures::concat(worm.debugData, host));
}

TEST(VikingPacked, OuterFileIsRepairedAndCopiedIntoTheImage) {
    const Bytes host = cleanHost(2, 0x800);
    const VikingWorm worm = vikingWorm(host, VikingDebug::Behind);
    // The unpacked image has a layout of its own: the repair must follow the outer file's.
    const Bytes unpacked = cleanHost(2, 0x1400);
    support::Sample sample = support::Sample::insidePacked(unpacked, worm.file);
    EXPECT_EQ(sample.kill(host::KillRequest::byMethod(kVikingMethod)).result, KILL_REPAIRED);
    EXPECT_EQ(sample.outer->bytes(), host);
    EXPECT_EQ(sample.scanned->bytes(), host);
    EXPECT_FALSE(sample.outer->removed());
    EXPECT_FALSE(sample.scanned->removed());
}

TEST(VikingPacked, WormAloneIsDeletedWithItsImage) {
    for (VikingDebug debug : {VikingDebug::None, VikingDebug::Behind}) {
        const VikingWorm worm = vikingWorm({}, debug);
        support::Sample sample = support::Sample::insidePacked(cleanHost(), worm.file);
        EXPECT_EQ(sample.kill(host::KillRequest::byMethod(kVikingMethod)).result, KILL_REMOVED);
        EXPECT_TRUE(sample.outer->removed());
        EXPECT_TRUE(sample.scanned->removed());
    }
}

TEST(VikingPacked, OuterFileThatCannotBePreparedIsLeftAlone) {
    const VikingWorm worm = vikingWorm(cleanHost());
    const Bytes unpacked = cleanHost(1);
    support::Sample sample = support::Sample::insidePacked(unpacked, worm.file);
    sample.outer->setPrepareFails(true);
    EXPECT_EQ(sample.kill(host::KillRequest::byMethod(kVikingMethod)).result, KILL_FAILED);
    EXPECT_EQ(sample.outer->bytes(), worm.file);
    EXPECT_EQ(sample.scanned->bytes(), unpacked);
}

TEST(VikingPacked, OuterFileThatIsNoPeIsLeftAlone) {
    VikingWorm worm = vikingWorm(cleanHost());
    worm.file[fixtures::peHeaderOffset(worm.file)] = 'X';
    const Bytes unpacked = cleanHost(1);
    support::Sample sample = support::Sample::insidePacked(unpacked, worm.file);
    EXPECT_EQ(sample.kill(host::KillRequest::byMethod(kVikingMethod)).result, KILL_FAILED);
    EXPECT_EQ(sample.outer->bytes(), worm.file);
    EXPECT_EQ(sample.scanned->bytes(), unpacked);
    EXPECT_FALSE(sample.outer->removed());
}

}  // namespace
