// CIH cleaners: the piece walker through the kill engine, the CIH 1003 remains through the
// scan engines and the kill of their find.
#include <gtest/gtest.h>

#include "tests/fixtures/win32_infectors.h"
#include "tests/support/module_driver.h"

using namespace fixtures::win32;
using fixtures::Bytes;
using fixtures::put32;
using fixtures::withBytesOf;

namespace {

constexpr uint32_t kCihId = 0x4b98;

// Pieces zeroed and the table cleared: the program is the clean one except for the entry point,
// which still leads where the virus began (the cleaner does not know the old one).
TEST(CihBodyKill, ZeroesEveryPieceAndClearsTheTable) {
    const Bytes clean = cleanProgram();
    for (int pieces : {0, 1, 2}) {
        const CihInfected infected = cihInfect(0x300, 0x80, pieces);
        const auto outcome = support::kill(infected.file, qe::FORMAT_PE, host::KillRequest::byId(kCihId));
        ASSERT_EQ(outcome.result, KILL_REPAIRED) << pieces;
        EXPECT_EQ(outcome.bytes, withBytesOf(clean, infected.file, kEntryAt, 4)) << pieces;
    }
}

// Every identifier of the family reaches the same cleaner.
TEST(CihBodyKill, AllIdentifiersRepair) {
    const uint32_t ids[] = {0x4b98, 0x4d7b, 0x4d6f, 0x4d7f, 0x2dac, 0x4d70, 0x4d71, 0x4d73, 0x4e4e, 0x4d75, 0x2dab,
                            0x5686, 0x4d84, 0x4d76, 0x4d77, 0x4d83, 0x4d78, 0x4eab, 0x10bb, 0x10ba, 0x10a9};
    const CihInfected infected = cihInfect(0x300, 0x80, 2);
    const Bytes expected = withBytesOf(cleanProgram(), infected.file, kEntryAt, 4);
    for (uint32_t id : ids)
        EXPECT_EQ(support::kill(infected.file, qe::FORMAT_PE, host::KillRequest::byId(id)).bytes, expected)
            << std::hex << id;
}

TEST(CihBodyKill, PieceSizeLimit) {
    // 0x10001 ends the walk before anything is written; the table stays.
    CihInfected infected = cihInfect(0x300, 0x80, 1);
    put32(infected.file, 0x300 - 256 + 252, 0x10001);
    auto outcome = support::kill(infected.file, qe::FORMAT_PE, host::KillRequest::byId(kCihId));
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(outcome.bytes, infected.file);

    // A piece that would run past the end of the file is not written and the file does not grow.
    infected = cihInfect(0x300, 0x80, 1);
    put32(infected.file, 0x300 - 256 + 248, kImageBase + 0x2000 + 0x3F0);
    put32(infected.file, 0x300 - 256 + 244, 0x10000);
    outcome = support::kill(infected.file, qe::FORMAT_PE, host::KillRequest::byId(kCihId));
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(outcome.bytes.size(), infected.file.size());
}

// A body at raw offset 255 has no room for its table in front of it.
TEST(CihBodyKill, BodyInTheFirst256BytesFails) {
    Bytes file = cleanProgram();
    put32(file, kEntryAt, 255);
    const auto outcome = support::kill(file, qe::FORMAT_PE, host::KillRequest::byId(kCihId));
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_EQ(outcome.bytes, file);
}

// Piece addresses that lead nowhere end the walk; the file keeps its length.
TEST(CihBodyKill, PieceAddressOutsideTheImage) {
    CihInfected infected = cihInfect(0x300, 0x80, 1);
    put32(infected.file, 0x300 - 256 + 248, 0xFFFFFF00);
    const auto outcome = support::kill(infected.file, qe::FORMAT_PE, host::KillRequest::byId(kCihId));
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(outcome.bytes.size(), infected.file.size());
}

TEST(Cih1003Junk, ScanFindsTheRemainsAndKillZeroesThem) {
    for (uint32_t at : {0x200u, 0x400u - 277u}) {
        const auto outcome = support::scanThenKill(cih1003Infect(at), qe::FORMAT_PE);
        EXPECT_EQ(outcome.finding.virusId, 0xa083u) << at;
        EXPECT_EQ(outcome.result, KILL_REPAIRED) << at;
        EXPECT_EQ(outcome.bytes, cleanProgram()) << at;
    }
}

TEST(Cih1003Junk, NearMissesAreNotFound) {
    struct Case {
        const char* name;
        Bytes file;
    };
    std::vector<Case> cases;
    // The last byte of the key and of each fragment.
    for (uint32_t at : {12u, 45u + 15u, 157u + 15u, 221u + 15u, 261u + 15u}) {
        Bytes file = cih1003Infect(0x200);
        file[0x200 + at] ^= 0xFF;
        cases.push_back({"fragment byte", file});
    }
    // The key inside the last 276 bytes of the header copy does not count.
    Bytes late = cleanProgram();
    const Bytes remains = cih1003Remains();
    fixtures::putBytes(late, 0x400 - 276, Bytes(remains.begin(), remains.begin() + 276));
    cases.push_back({"late", late});
    // An entry inside the headers.
    Bytes headerEntry = cih1003Infect(0x200);
    put32(headerEntry, kEntryAt, 0x100);
    cases.push_back({"entry in headers", headerEntry});
    for (const Case& c : cases) {
        const auto outcome = support::scanThenKill(c.file, qe::FORMAT_PE);
        EXPECT_NE(outcome.finding.virusId, 0xa083u) << c.name;
        EXPECT_EQ(outcome.bytes, c.file) << c.name;
    }
}

}  // namespace
