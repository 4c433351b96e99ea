// MZ cleaners through the kill engine and the scan engines: the header words come back, the
// body is cut, and the relocation cleaners leave exactly the table they define.
#include <gtest/gtest.h>

#include <functional>

#include "sdk/format_codes.h"
#include "sdk/results.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"
#include "tests/support/module_driver.h"

namespace {

using fixtures::Bytes;
using namespace fixtures::dos;

struct MzRoundTrip {
    const char* name;
    uint32_t virusId;
    MzOptions host;
    std::function<Bytes(const Bytes&)> infect;
};

void PrintTo(const MzRoundTrip& c, std::ostream* os) { *os << c.name; }

class MzRoundTripTest : public ::testing::TestWithParam<MzRoundTrip> {};

// The cleaners leave the page count words as the infector set them; everything else is the
// clean program's.
TEST_P(MzRoundTripTest, KillByIdentifierGivesBackTheCleanProgram) {
    const MzRoundTrip& c = GetParam();
    const Bytes clean = makeMz(c.host);
    const Bytes infected = c.infect(clean);
    ASSERT_NE(infected, clean);

    const auto outcome = support::kill(infected, qe::FORMAT_MZ, host::KillRequest::byId(c.virusId));
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_FALSE(outcome.removed);
    EXPECT_EQ(outcome.bytes, withPageCountOf(clean, infected));
}

const MzOptions kPlainHost{};
const MzOptions kLargeHost{6000, std::nullopt, 0x400};
// DataCrimeII gives every host SS 0 and SP 0xFFFE: a host that had them comes back exactly.
const MzOptions kTinyModelHost{2048, 0, 0xFFFE};
// Sentinel patches the entry's code, so its host's entry bytes must hold no relocated word.
const MzOptions kPlainEntryHost{2048, std::nullopt, 0x200, true};

const MzRoundTrip kMzRoundTrips[] = {
    {"Tremor", 0xaba8, kPlainHost, infectTremor},
    {"TremorLargeHost", 0xaba8, kLargeHost, infectTremor},
    {"April10", 0x3c82, kPlainHost, [](const Bytes& h) { return infectApril10Exe(h, 0x5D); }},
    {"DataCrimeII", 0x3c83, kTinyModelHost, [](const Bytes& h) { return infectDataCrimeIIExe(h, 0xB7); }},
    {"V1989", 0x3de1, kPlainHost, [](const Bytes& h) { return infectV1989Exe(h, 0x2468); }},
    {"V1989LargeHost", 0x3de1, kLargeHost, [](const Bytes& h) { return infectV1989Exe(h, 0xFFFF); }},
    {"Buba1537", 0x3dc9, kPlainHost, [](const Bytes& h) { return infectBuba1537(h, 0xFE); }},
    {"Voronezh1600", 0x3dd9, kPlainHost, [](const Bytes& h) { return infectVoronezh1600Exe(h, false); }},
    {"Voronezh1600NormalisedEntry", 0x3dd9, kPlainHost,
     [](const Bytes& h) { return infectVoronezh1600Exe(h, true); }},
    {"Sentinel3ByteEntry", 0x3ae4, kPlainEntryHost, [](const Bytes& h) { return infectSentinelMz(h, false); }},
    {"Sentinel5ByteEntry", 0x3ae4, kPlainEntryHost, [](const Bytes& h) { return infectSentinelMz(h, true); }},
};

INSTANTIATE_TEST_SUITE_P(Families, MzRoundTripTest, ::testing::ValuesIn(kMzRoundTrips),
                         [](const auto& info) { return std::string(info.param.name); });

// On an MZ host the restored entry bytes go back into the load module, never over the header.
TEST(SentinelMz, EveryRegisteredIdentifierRepairsWithoutTouchingTheSignature) {
    const Bytes clean = makeMz(kPlainEntryHost);
    const Bytes infected = infectSentinelMz(clean, false);
    for (uint32_t id : {0x3ae4u, 0x3ad8u, 0x3adbu, 0x3ae2u, 0x3addu, 0x3adfu}) {
        SCOPED_TRACE(id);
        const auto outcome = support::kill(infected, qe::FORMAT_MZ, host::KillRequest::byId(id));
        EXPECT_EQ(outcome.result, KILL_REPAIRED);
        ASSERT_GE(outcome.bytes.size(), 2u);
        EXPECT_EQ(outcome.bytes[0], 'M');
        EXPECT_EQ(outcome.bytes[1], 'Z');
        EXPECT_EQ(outcome.bytes, withPageCountOf(clean, infected));
    }
}

TEST(DataCrimeIIExe, AlwaysWritesTheVirusStack) {
    const Bytes clean = makeMz({2048, 0x90, 0x300});
    const auto outcome =
        support::kill(infectDataCrimeIIExe(clean, 0x3C), qe::FORMAT_MZ, host::KillRequest::byId(0x3c83));
    ASSERT_EQ(outcome.result, KILL_REPAIRED);
    Bytes expected = withPageCountOf(clean, infectDataCrimeIIExe(clean, 0x3C));
    setMzWord(expected, 14, 0);
    setMzWord(expected, 16, 0xFFFE);
    EXPECT_EQ(outcome.bytes, expected);
}

// --- found by the scan engines, repaired by the kept unit ---

struct MzScanCase {
    const char* name;
    uint32_t virusId;
    host::Phase phase;
    std::function<Bytes(const Bytes&)> infect;
};

void PrintTo(const MzScanCase& c, std::ostream* os) { *os << c.name; }

class MzScanThenKillTest : public ::testing::TestWithParam<MzScanCase> {};

TEST_P(MzScanThenKillTest, FoundInItsPhaseAndRepairedByTheKeptUnit) {
    const MzScanCase& c = GetParam();
    const Bytes clean = makeMz();
    const Bytes infected = c.infect(clean);
    const auto outcome = support::scanThenKill(infected, qe::FORMAT_MZ);
    EXPECT_EQ(outcome.finding.virusId, c.virusId);
    EXPECT_EQ(outcome.finding.phase, c.phase);
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(outcome.bytes, withPageCountOf(clean, infected));
}

const MzScanCase kMzScanCases[] = {
    {"Tequila5Volt2659", 0x6586, host::Phase::PreLibrary, infectTequila},
    {"TmcBRunToTheHost", 0x6550, host::Phase::PostLibrary,
     [](const Bytes& h) { return infectTmcBMz(h, TmcBMzForm::Emulated); }},
    {"TmcBJumpPadded", 0x6550, host::Phase::PostLibrary,
     [](const Bytes& h) { return infectTmcBMz(h, TmcBMzForm::JumpPadded); }},
    {"TmcBSaveCode", 0x6550, host::Phase::PostLibrary,
     [](const Bytes& h) { return infectTmcBMz(h, TmcBMzForm::SaveCode); }},
};

INSTANTIATE_TEST_SUITE_P(Families, MzScanThenKillTest, ::testing::ValuesIn(kMzScanCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MzScan, CleanProgramIsNotFound) {
    const Bytes clean = makeMz();
    const auto outcome = support::scanThenKill(clean, qe::FORMAT_MZ);
    EXPECT_EQ(outcome.finding.virusId, 0u);
    EXPECT_EQ(outcome.bytes, clean);
}

// --- relocation-table cleaners ---

TEST(April1stExe, TakesNinetyThreeParagraphsOffEverySegment) {
    const Bytes clean = makeMz();
    const Bytes infected = infectApril1st(clean);
    const auto outcome = support::kill(infected, qe::FORMAT_MZ, host::KillRequest::byId(0x8c9));
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(outcome.bytes, clean);  // table restored; header and size untouched
}

TEST(April1stExe, ZeroRelocationsStillSucceed) {
    Bytes noRelocations = makeMz();
    setMzWord(noRelocations, 6, 0);
    const auto outcome = support::kill(noRelocations, qe::FORMAT_MZ, host::KillRequest::byId(0x8c9));
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(outcome.bytes, noRelocations);
}

TEST(April1stExe, TableOffsetBeyondTheFileFails) {
    Bytes broken = makeMz();
    setMzWord(broken, 24, uint16_t(broken.size()));
    const auto outcome = support::kill(broken, qe::FORMAT_MZ, host::KillRequest::byId(0x8c9));
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_EQ(outcome.bytes, broken);
}

// The moved entry points at the entry's segment word again, the virus's own entry is cleared
// and the count drops by one - with the table inside the header's first 64 bytes, where the
// header write must not bring the old table back.
TEST(Voronezh1600Exe, RelocationTableIsExactlyTheCleanOne) {
    const Bytes clean = makeMz();
    ASSERT_LT(mzWord(clean, 24), 64);
    const Bytes infected = infectVoronezh1600Exe(clean, false);
    ASSERT_EQ(mzWord(infected, 6), mzWord(clean, 6) + 1);
    const auto outcome = support::kill(infected, qe::FORMAT_MZ, host::KillRequest::byId(0x3dd9));
    ASSERT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(mzWord(outcome.bytes, 6), mzWord(clean, 6));
    const uint32_t table = mzWord(clean, 24);
    for (uint32_t k = 0; k <= mzWord(clean, 6); ++k) {  // one past the count: the cleared entry
        SCOPED_TRACE(k);
        EXPECT_EQ(fixtures::get32(outcome.bytes, table + 4 * k), fixtures::get32(clean, table + 4 * k));
    }
}

// With a single entry there is nothing to compare: it is chosen, and as the last one cleared.
TEST(Voronezh1600Exe, SingleEntryIsChosenAndCleared) {
    const Bytes clean = makeMz();
    Bytes infected = infectVoronezh1600Exe(clean, false);
    const uint32_t table = mzWord(infected, 24);
    const uint32_t last = mzWord(infected, 6) - 1;
    setMzWord(infected, table, mzWord(infected, table + 4 * last));
    setMzWord(infected, table + 2, mzWord(infected, table + 4 * last + 2));
    setMzWord(infected, 6, 1);
    const auto outcome = support::kill(infected, qe::FORMAT_MZ, host::KillRequest::byId(0x3dd9));
    ASSERT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(mzWord(outcome.bytes, 6), 0);
    EXPECT_EQ(fixtures::get32(outcome.bytes, table), 0u);
}

TEST(Voronezh1600Exe, RefusesTablesItCannotHaveMade) {
    const Bytes infected = infectVoronezh1600Exe(makeMz(), false);
    struct Case {
        const char* name;
        size_t offset;
        uint16_t value;
    } cases[] = {
        {"header of 129 paragraphs", 8, 129},
        {"no relocation entries", 6, 0},
        {"more entries than the table holds", 6, 513},
        {"table past the virus start", 24, 0xFFF0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes broken = infected;
        setMzWord(broken, c.offset, c.value);
        const auto outcome = support::kill(broken, qe::FORMAT_MZ, host::KillRequest::byId(0x3dd9));
        EXPECT_EQ(outcome.result, KILL_FAILED);
        EXPECT_EQ(outcome.bytes, broken);  // checked before anything is written
    }
}

// --- prepender ---

TEST(Hllp7808Exe, SizesDecideBetweenDeleteCutAndMove) {
    struct Case {
        const char* name;
        size_t hostSize;
        uint32_t result;
        bool removed;
    } cases[] = {
        {"the virus alone", 0, KILL_REMOVED, true},
        {"cut at 15615 bytes", 15615 - 7808, KILL_REPAIRED, false},
        {"move and truncate at 15616 bytes", 15616 - 7808, KILL_REPAIRED, false},
        {"large host", 40000, KILL_REPAIRED, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes host = pattern(c.hostSize, uint32_t(c.hostSize) + 1);
        const auto outcome = support::kill(infectHllp7808(host), qe::FORMAT_MZ, host::KillRequest::byId(0x4376));
        EXPECT_EQ(outcome.result, c.result);
        EXPECT_EQ(outcome.removed, c.removed);
        if (!c.removed) {
            EXPECT_EQ(outcome.bytes, host);
        }
    }
}

TEST(Hllp7808Exe, FileShorterThanTheVirusIsLeftAlone) {
    const Bytes shortFile = pattern(7807, 3);
    const auto outcome = support::kill(shortFile, qe::FORMAT_MZ, host::KillRequest::byId(0x4376));
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_FALSE(outcome.removed);
    EXPECT_EQ(outcome.bytes, shortFile);
}

}  // namespace
