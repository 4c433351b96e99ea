// COM cleaners through the kill engine: a clean program, infected as the family does it,
// repaired by virus identifier, must come back byte for byte.
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

struct ComRoundTrip {
    const char* name;
    uint32_t virusId;
    size_t hostSize;
    std::function<Bytes(const Bytes&)> infect;
};

void PrintTo(const ComRoundTrip& c, std::ostream* os) { *os << c.name; }

class ComRoundTripTest : public ::testing::TestWithParam<ComRoundTrip> {};

TEST_P(ComRoundTripTest, KillByIdentifierGivesBackTheCleanProgram) {
    const ComRoundTrip& c = GetParam();
    const Bytes clean = makeCom(c.hostSize);
    const Bytes infected = c.infect(clean);
    ASSERT_NE(infected, clean);

    const auto outcome = support::kill(infected, qe::FORMAT_COM, host::KillRequest::byId(c.virusId));
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_FALSE(outcome.removed);
    EXPECT_EQ(outcome.bytes, clean);
}

const ComRoundTrip kComRoundTrips[] = {
    {"Bomber", 0xab37, 9000, [](const Bytes& h) { return infectBomber(h, 1500); }},
    {"April10", 0x3c80, 3000, [](const Bytes& h) { return infectApril10Com(h, 0x37); }},
    {"BadboyLargeHost", 0x3dfe, 2500, infectBadboy},
    {"BadboyHostOf1000", 0x3dfe, 1000, infectBadboy},
    {"BadboySmallHost", 0x3dfe, 999, infectBadboy},
    {"DataCrimeII", 0x19cf, 3000, [](const Bytes& h) { return infectDataCrimeIICom(h, 0x5B); }},
    {"DataCrimeIIKeyWithHighBit", 0x19cf, 3001, [](const Bytes& h) { return infectDataCrimeIICom(h, 0xC3); }},
    {"Moran2720", 0x3d26, 3000, [](const Bytes& h) { return infectMoran2720(h, 0x1234); }},
    {"V1989", 0x3ddf, 2000, [](const Bytes& h) { return infectV1989Com(h, 0xBEEF); }},
    {"Voronezh", 0x3df0, 2500, [](const Bytes& h) { return infectVoronezhCom(h, VoronezhForm::Variable, 0x6E, 900); }},
    {"VoronezhLongestHead", 0x3df0, 2500,
     [](const Bytes& h) { return infectVoronezhCom(h, VoronezhForm::Variable, 0x11, 1024); }},
    {"Voronezh1600", 0x3ddd, 4000, [](const Bytes& h) { return infectVoronezhCom(h, VoronezhForm::V1600, 0x9A); }},
    {"Voronezh600", 0x3e61, 1500, [](const Bytes& h) { return infectVoronezhCom(h, VoronezhForm::V600, 0x42); }},
    {"Voronezh600SmallestHost", 0x3e61, 600, [](const Bytes& h) { return infectVoronezhCom(h, VoronezhForm::V600, 0x42); }},
    {"Voronezh650", 0x3e62, 1500, [](const Bytes& h) { return infectVoronezhCom(h, VoronezhForm::V650, 0x24); }},
    {"Youth555", 0x3dd8, 1800, [](const Bytes& h) { return infectYouth555(h, 0x7F); }},
    {"ZhengZhou", 0x3c7e, 2000, [](const Bytes& h) { return infectZhengZhou(h, 0xE1); }},
    {"June1919", 0x3d0e, 3000, [](const Bytes& h) { return infectJune1919(h, 0x4321); }},
    {"June1919LargeHost", 0x3d0e, 60000, [](const Bytes& h) { return infectJune1919(h, 0x0F0F); }},
    {"SgBomber1305", 0xad54, 2600, infectSgBomber},
    {"Sentinel3ByteEntry", 0x3ad9, 3000, [](const Bytes& h) { return infectSentinelCom(h, false); }},
    {"Sentinel5ByteEntry", 0x3ad9, 3000, [](const Bytes& h) { return infectSentinelCom(h, true); }},
};

INSTANTIATE_TEST_SUITE_P(Families, ComRoundTripTest, ::testing::ValuesIn(kComRoundTrips),
                         [](const auto& info) { return std::string(info.param.name); });

// The same class serves six COM identifiers; each truncates by the first variant's 4571 bytes.
TEST(SentinelCom, EveryRegisteredIdentifierRepairs) {
    const Bytes clean = makeCom(2222);
    const Bytes infected = infectSentinelCom(clean, false);
    ASSERT_EQ(infected.size(), clean.size() + 4571);
    for (uint32_t id : {0x3ad9u, 0x3ad6u, 0x3adau, 0x3ae1u, 0x43deu, 0x3adeu}) {
        SCOPED_TRACE(id);
        const auto outcome = support::kill(infected, qe::FORMAT_COM, host::KillRequest::byId(id));
        EXPECT_EQ(outcome.result, KILL_REPAIRED);
        EXPECT_EQ(outcome.bytes, clean);
    }
}

// TmcB COM is found by the post-library scan and repaired by the unit the engine kept.
TEST(TmcBCom, ScanFindsItAndTheKeptUnitRepairs) {
    const Bytes clean = makeCom(3333);
    const auto outcome = support::scanThenKill(infectTmcBCom(clean), qe::FORMAT_COM);
    EXPECT_EQ(outcome.finding.virusId, 0x6551u);
    EXPECT_EQ(outcome.finding.phase, host::Phase::PostLibrary);
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(outcome.bytes, clean);
}

TEST(TmcBCom, CleanProgramIsNotFound) {
    const Bytes clean = makeCom(3333);
    const auto outcome = support::scanThenKill(clean, qe::FORMAT_COM);
    EXPECT_EQ(outcome.finding.virusId, 0u);
    EXPECT_EQ(outcome.bytes, clean);
}

}  // namespace
