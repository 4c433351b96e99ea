// Neshta through the kill engine's method 2.
#include <gtest/gtest.h>

#include <memory>

#include "host/running_object_table.h"
#include "module/units/win32/neshta.h"
#include "tests/fixtures/win32_infectors.h"
#include "tests/support/module_driver.h"

using namespace fixtures::win32;
using fixtures::Bytes;

namespace {


TEST(NeshtaKill, MovesTheHeadBackAndCutsTheFile) {
    const NeshtaInfected infected = neshtaInfect();
    ASSERT_NE(fixtures::get32(infected.clean, 1234), 0u);
    const support::Outcome outcome = support::kill(infected.file, qe::FORMAT_PE, host::KillRequest::byMethod(2));
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(outcome.bytes, infected.clean);
}

// A file no longer than the virus is nothing but the virus: deleted.
TEST(NeshtaKill, VirusAloneIsDeleted) {
    CleanOptions exact;
    exact.codeSize = 41472 - 0x800;  // headers and .idata take 0x800 bytes
    for (const Bytes& file : {cleanProgram(exact), cleanProgram()}) {
        ASSERT_LE(file.size(), 41472u);
        const support::Outcome outcome = support::kill(file, qe::FORMAT_PE, host::KillRequest::byMethod(2));
        EXPECT_EQ(outcome.result, KILL_REMOVED) << file.size();
        EXPECT_TRUE(outcome.removed) << file.size();
    }
}

// A saved head that does not decrypt to "MZ" leaves the file as it is.
TEST(NeshtaKill, WrongKeyLeavesTheFile) {
    NeshtaInfected infected = neshtaInfect();
    const size_t seedAt = infected.file.size() - 41472 + 1234;
    infected.file[seedAt] ^= 0x55;
    const support::Outcome outcome = support::kill(infected.file, qe::FORMAT_PE, host::KillRequest::byMethod(2));
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_EQ(outcome.bytes, infected.file);
}

TEST(NeshtaKeystream, SeedZeroLeavesTheFirstByte) {
    CScanNeshtaA unit;
    uint8_t bytes[3] = {0xAB, 0, 0};
    unit.XorData(bytes, 0, 1);
    EXPECT_EQ(bytes[0], 0xAB);  // state 1: (255 * 1) >> 32 = 0
    unit.XorData(bytes + 1, 0, 2);
    // second value: state 0x08088406, (255 * state) >> 32 = 8
    EXPECT_EQ(bytes[2], 8);
    for (int i = 0; i < 1000; ++i) EXPECT_LT(unit.GetXorSeed(255), 255u);
}

}  // namespace
