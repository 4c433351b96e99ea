// Sality cleaner through the kill engine and the host's PE model.
#include <gtest/gtest.h>

#include "module/units/win32/sality.h"
#include "tests/fixtures/win32_infectors.h"
#include "tests/support/module_driver.h"

using namespace fixtures::win32;
using fixtures::Bytes;
using fixtures::put32;

namespace {

constexpr uint32_t kSalityId = 0x1719ba;

// The entry code comes back, the body section's raw data goes and the count drops by one; the
// section's table entry, SizeOfImage and the size totals stay as the virus set them.
TEST(SalityKill, RestoresEntryCodeAndRemovesTheBody) {
    const Bytes clean = cleanProgram();
    for (uint32_t key : {0x12345678u, 2u, 3u, 0xFFFFFFFFu}) {
        const Bytes infected = salityInfect(key);
        const auto outcome = support::kill(infected, qe::FORMAT_PE, host::KillRequest::byId(kSalityId));
        ASSERT_EQ(outcome.result, KILL_REPAIRED) << key;
        EXPECT_EQ(outcome.bytes, withAppendedSectionHeaderOf(clean, infected)) << key;
    }
}

// Data behind the body (the rest of the section, an overlay) moves down over it.
TEST(SalityKill, DataBehindTheBodyMovesDown) {
    const Bytes clean = cleanProgram();
    Bytes infected = salityInfect(0x777);
    const Bytes overlay = filler(5000, 3);
    infected.insert(infected.end(), overlay.begin(), overlay.end());
    const auto outcome = support::kill(infected, qe::FORMAT_PE, host::KillRequest::byId(kSalityId));
    ASSERT_EQ(outcome.result, KILL_REPAIRED);
    Bytes expected = withAppendedSectionHeaderOf(clean, infected);
    expected.insert(expected.end(), overlay.begin(), overlay.end());
    EXPECT_EQ(outcome.bytes, expected);
}

// A body address outside the file, or a body cut short: nothing is written.
TEST(SalityKill, HostileBodyPlacesFailWithoutWriting) {
    const uint32_t entryOffset = cleanBuilder().sectionFileOffset(0);
    Bytes outside = salityInfect(0x99);
    put32(outside, entryOffset + 0x0D, 0x7FFF0000);
    Bytes cut = salityInfect(0x99);
    cut.resize(cut.size() - 0x100);
    for (const Bytes* file : {&outside, &cut}) {
        const auto outcome = support::kill(*file, qe::FORMAT_PE, host::KillRequest::byId(kSalityId));
        EXPECT_EQ(outcome.result, KILL_FAILED);
        EXPECT_EQ(outcome.bytes, *file);
    }
}

TEST(SalityCipher, MasksRunFromKeyTimesCountDownToKey) {
    Bytes body(0x5000, 0);
    DecryptSalityBody(body, 2);
    EXPECT_EQ(body, Bytes(0x5000, 0));  // key 2: every mask is 0
    DecryptSalityBody(body, 0x10003);   // key - 2 = 0x10001
    EXPECT_EQ(fixtures::get16(body, 0), uint16_t(0x10001u * 0x2800u));
    EXPECT_EQ(fixtures::get16(body, 0x4FFE), uint16_t(0x0001));
    Bytes odd = {1, 2, 3};
    DecryptSalityBody(odd, 5);  // one word, mask 3; the odd byte stays
    EXPECT_EQ(odd, (Bytes{1 ^ 3, 2, 3}));
}

}  // namespace
