// Magistr g: the decompressor on hand-made bit streams, and the kill method 17 round trip.
#include <gtest/gtest.h>

#include <memory>

#include "host/running_object_table.h"
#include "module/units/win32/magistr_g.h"
#include "tests/fixtures/win32_infectors.h"
#include "tests/support/module_driver.h"

using namespace fixtures::win32;
using fixtures::Bytes;

namespace {

// Bits least significant first, written as a list of (value, width) fields.
Bytes bitsOf(std::initializer_list<std::pair<uint32_t, uint32_t>> fields, uint32_t* count) {
    Bytes out;
    uint32_t n = 0;
    for (auto [value, width] : fields)
        for (uint32_t i = 0; i < width; ++i, ++n) {
            if (n % 8 == 0) out.push_back(0);
            out.back() |= uint8_t(((value >> i) & 1) << (n % 8));
        }
    *count = n;
    return out;
}

TEST(MagistrDecompress, LiteralsAndMatches) {
    uint32_t n = 0;
    Bytes one = bitsOf({{0, 1}, {0x41, 8}}, &n);
    EXPECT_EQ(n, 9u);
    EXPECT_EQ(DecompressMagistrEntry(one, n, 8192), (std::vector<uint8_t>{0x41}));

    // Two literals, then a short match of 3 from offset 0 (overlapping its own output).
    Bytes shortMatch = bitsOf({{0, 1}, {'a', 8}, {0, 1}, {'b', 8}, {1, 1}, {0, 10}, {0, 1}, {2, 3}}, &n);
    EXPECT_EQ(DecompressMagistrEntry(shortMatch, n, 8192), (std::vector<uint8_t>{'a', 'b', 'a', 'b', 'a'}));

    // Long flag, run 1, 1, 0: X = 3, length L3 + 25 = 26 with L3 = 1.
    Bytes longMatch = bitsOf({{0, 1}, {'z', 8}, {1, 1}, {0, 10}, {1, 1}, {0b011, 3}, {1, 3}}, &n);
    const auto decoded = DecompressMagistrEntry(longMatch, n, 8192);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, std::vector<uint8_t>(27, 'z'));

    EXPECT_EQ(DecompressMagistrEntry(one, 0, 8192), std::vector<uint8_t>{});
}

TEST(MagistrDecompress, WindowSlidesAfter1024Bytes) {
    // 1500 literals (byte i mod 251), then a match of 1 at offset 0: output position 476.
    Bytes data;
    for (int i = 0; i < 1500; ++i) data.push_back(uint8_t(i % 251));
    Bytes stream;
    uint32_t n = 0;
    auto put = [&](uint32_t value, uint32_t width) {
        for (uint32_t i = 0; i < width; ++i, ++n) {
            if (n % 8 == 0) stream.push_back(0);
            stream.back() |= uint8_t(((value >> i) & 1) << (n % 8));
        }
    };
    for (uint8_t b : data) put(0, 1), put(b, 8);
    put(1, 1), put(0, 10), put(0, 1), put(0, 3);
    const auto decoded = DecompressMagistrEntry(stream, n, 8192);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->size(), 1501u);
    EXPECT_EQ(decoded->back(), data[476]);
}

TEST(MagistrDecompress, RefusesStreamsOutsideTheFormat) {
    uint32_t n = 0;
    // A match before anything was produced.
    Bytes early = bitsOf({{1, 1}, {0, 10}, {0, 1}, {0, 3}}, &n);
    EXPECT_FALSE(DecompressMagistrEntry(early, n, 8192));
    // A field cut by the bit count.
    Bytes cut = bitsOf({{0, 1}, {0x41, 8}}, &n);
    EXPECT_FALSE(DecompressMagistrEntry(cut, 5, 8192));
    // More bits than the buffer holds.
    EXPECT_FALSE(DecompressMagistrEntry(cut, 1000, 8192));
    // Output beyond its limit.
    Bytes two = bitsOf({{0, 1}, {1, 8}, {0, 1}, {2, 8}}, &n);
    EXPECT_FALSE(DecompressMagistrEntry(two, n, 1));
    // A long-length run that never closes.
    Bytes ones(16, 0xFF);
    EXPECT_FALSE(DecompressMagistrEntry(ones, 128, 8192));
}


// The entry code comes back and the body is cut; the header still names the worm's section
// (only the entry point is rewritten).
TEST(MagistrKill, RestoresTheEntryCodeAndCutsTheBody) {
    const MagistrInfected infected = magistrInfect();
    const support::Outcome outcome = support::kill(infected.file, qe::FORMAT_PE, host::KillRequest::byMethod(17));
    ASSERT_EQ(outcome.result, KILL_REPAIRED);
    Bytes expected = withAppendedSectionHeaderOf(infected.clean, infected.file);
    expected = fixtures::withBytesOf(expected, infected.file, kSectionCountAt, 2);
    // The body starts 0x40 bytes into the section: what lies before it stays.
    expected.insert(expected.end(), infected.file.begin() + infected.clean.size(),
                    infected.file.begin() + infected.clean.size() + 0x40);
    EXPECT_EQ(outcome.bytes, expected);
}

TEST(MagistrKill, DataOutsideTheFileFailsWithoutWriting) {
    MagistrInfected infected = magistrInfect();
    fixtures::put32(infected.file, 0x400 + 255, 0x7FFF0000);
    const support::Outcome outcome = support::kill(infected.file, qe::FORMAT_PE, host::KillRequest::byMethod(17));
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_EQ(outcome.bytes, infected.file);
}

}  // namespace
