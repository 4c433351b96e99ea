// Padania 1335: found by the post-library engine and, in a file the host marks as damaged, by
// the pre-library engine's bad-file table; repaired through the engine that found it.
#include <gtest/gtest.h>


#include "tests/fixtures/win32_infectors.h"
#include "tests/support/module_driver.h"

using namespace fixtures::win32;
using fixtures::Bytes;
using fixtures::put32;
using fixtures::withBytesOf;

namespace {

constexpr uint32_t kPadaniaId = 0x9242;

support::Outcome scanThenKill(const Bytes& bytes, bool damaged) {
    support::Sample sample(bytes, qe::FORMAT_PE);
    sample.damaged = damaged;
    return sample.scanThenKill();
}

// The patched call goes back, the loader area (56 bytes) and the body are zeroed, the section
// count drops and SizeOfImage is worked out from the section before. The zeroed body stays as
// trailing data, and the loader's jump back (5 bytes behind the area) stays too.
Bytes expectedRepair(const PadaniaInfected& infected) {
    Bytes expected = withAppendedSectionHeaderOf(infected.clean, infected.file);
    expected = withBytesOf(expected, infected.clean, kSizeOfImageAt, 4);
    expected = withBytesOf(expected, infected.file, infected.tableEnd + 56, 5);
    expected.resize(infected.file.size(), 0);
    return expected;
}

TEST(PadaniaScanKill, FoundAndRepairedByEitherEngine) {
    for (bool damaged : {false, true}) {
        for (bool nopSaved : {true, false}) {
            const PadaniaInfected infected = padaniaInfect(nopSaved);
            const support::Outcome outcome = scanThenKill(infected.file, damaged);
            EXPECT_EQ(outcome.finding.virusId, kPadaniaId) << damaged << nopSaved;
            EXPECT_EQ(outcome.finding.phase, damaged ? host::Phase::PreLibrary : host::Phase::PostLibrary);
            EXPECT_EQ(outcome.result, KILL_REPAIRED);
            EXPECT_EQ(outcome.bytes, expectedRepair(infected)) << damaged << nopSaved;
        }
    }
}

TEST(PadaniaScanKill, NearMissesAreNotFound) {
    const PadaniaInfected base = padaniaInfect(true);
    const uint32_t body = static_cast<uint32_t>(base.clean.size());
    std::vector<std::pair<const char*, Bytes>> cases;
    for (uint32_t at : {0u, 26u + 15u, 422u + 8u}) {
        Bytes file = base.file;
        file[body + at] ^= 0x01;
        cases.push_back({"signature byte", file});
    }
    Bytes moved = base.file;
    put32(moved, kSectionTableAt + 2 * 40 + 12, 0xC0000000u - kImageBase + 0x1000);
    cases.push_back({"section not at 0xC0000000", moved});
    Bytes cut = base.file;
    cut.resize(body + 430);  // the end fragment is not all there
    cases.push_back({"body cut short", cut});
    for (const auto& [name, file] : cases) {
        const support::Outcome outcome = scanThenKill(file, false);
        EXPECT_NE(outcome.finding.virusId, kPadaniaId) << name;
        EXPECT_EQ(outcome.bytes, file) << name;
    }
}

}  // namespace
