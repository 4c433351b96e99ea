// Cekar cleaner through the kill engine.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/fixtures/win32_infectors.h"
#include "tests/support/module_driver.h"

using namespace fixtures::win32;
using fixtures::Bytes;
using fixtures::put16;
using fixtures::put32;
using fixtures::withBytesOf;

namespace {

constexpr uint32_t kCekarId = 0x16e914;
constexpr uint32_t kTable = 0x400 + 0x38;  // .text starts at raw 0x400

// The entry bytes gathered across pieces 2 and 3 come back; pieces 1 to 3 are zeroed (piece 3,
// 1000 bytes, as a 512-byte chunk and the rest). The virus's section stays in the file and in
// the header.
TEST(CekarKill, GathersTheEntryBytesAndZeroesThePieces) {
    const CekarInfected infected = cekarInfect();
    const auto outcome = support::kill(infected.file, qe::FORMAT_PE, host::KillRequest::byId(kCekarId));
    ASSERT_EQ(outcome.result, KILL_REPAIRED);
    Bytes expected = infected.file;
    std::copy_n(infected.clean.begin() + 0x400, 0x204, expected.begin() + 0x400);
    for (const auto& piece : infected.pieces) std::fill_n(expected.begin() + piece.offset, piece.size, 0);
    EXPECT_EQ(outcome.bytes, expected);
    const Bytes prefix(outcome.bytes.begin(), outcome.bytes.begin() + infected.clean.size());
    const Bytes cleanPrefix =
        withBytesOf(withAppendedSectionHeaderOf(infected.clean, infected.file), infected.file, kSectionCountAt, 2);
    EXPECT_EQ(prefix, cleanPrefix);
}

// Tables the cleaner refuses: nothing is written.
TEST(CekarKill, RefusedTablesLeaveTheFile) {
    struct Case {
        const char* name;
        uint32_t field;  // offset in the table
        uint32_t value;
        bool word;
    };
    const Case cases[] = {
        {"entry piece not 0x204", 4, 0x200, true},
        {"no piece 1", 6, 0, false},
        {"pieces run out before 0x204 bytes", 18, 0, false},  // piece 3 missing
        {"piece address outside the image", 18, 0x7FFF0000, false},
    };
    for (const Case& c : cases) {
        CekarInfected infected = cekarInfect();
        if (c.word) put16(infected.file, kTable + c.field, uint16_t(c.value));
        else put32(infected.file, kTable + c.field, c.value);
        const auto outcome = support::kill(infected.file, qe::FORMAT_PE, host::KillRequest::byId(kCekarId));
        EXPECT_EQ(outcome.result, KILL_FAILED) << c.name;
        EXPECT_EQ(outcome.bytes, infected.file) << c.name;
    }
    // All five pieces together at or below 0x4A2 bytes.
    CekarInfected small = cekarInfect();
    put16(small.file, kTable + 10, 0x100);
    put16(small.file, kTable + 16, 0x100);
    put16(small.file, kTable + 22, 0x9E);
    const auto outcome = support::kill(small.file, qe::FORMAT_PE, host::KillRequest::byId(kCekarId));
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_EQ(outcome.bytes, small.file);
}

}  // namespace
