// Theals: a body in the last section, found by its signature at a file-alignment boundary and
// confirmed by its features, is disarmed in place by the engine that found it; the generic
// form is found through its jump and disarmed between its code landmarks, or deleted when the
// file is the worm alone.
#include <gtest/gtest.h>

#include <vector>

#include "module/units/worm/theals.h"
#include "tests/fixtures/worms_theals_klez_lovgate.h"
#include "tests/support/module_driver.h"
#include "tests/support/unit_harness.h"

using fixtures::Bytes;
using namespace fixtures::worms;
using fixtures::fillBytes;
using fixtures::putBytes;

namespace {

constexpr uint32_t kThealsId = 0x2B865;
constexpr uint32_t kThealsAId = 0x2F4D4;

const Bytes kSkipEntries = {0x8B, 0x07, 0x83, 0xF8, 0xFF, 0x74, 0x04, 0x8B, 0xF8, 0xEB, 0xF5, 0x83, 0xC7, 0x08, 0xC3, 0x90};
const Bytes kCallBack = {0xE8, 0xC0, 0xFF, 0xFF, 0xFF, 0x90};
const Bytes kHandler = {0x8B, 0x44, 0x24, 0x04, 0x3D, 0x10, 0x00, 0x00, 0x80, 0x7F, 0x05, 0xEB, 0x4F};

struct Range {
    uint32_t offset, length;
};
struct Fix {
    uint32_t offset;
    Bytes bytes;
};
struct GenerationCase {
    const char* name;
    ThealsGeneration generation;
    uint32_t id;
    std::vector<Range> nops;
    std::vector<Fix> fixes;
    std::vector<uint32_t> featureOffsets;  // the signature's first byte and one byte of each feature
};

const std::vector<GenerationCase>& generations() {
    static const std::vector<GenerationCase> cases = {
        {"first", ThealsGeneration::First, kThealsId,
         {{5, 67237}, {67334, 2677}, {70167, 338}, {70643, 13}},
         {{69995, kSkipEntries}, {70054, kCallBack}, {70489, kHandler}},
         {0, 4, 47, 70011, 70077, 70085, 70090 + 12, 70518, 70599, 70641, 67260 + 13}},
        {"A", ThealsGeneration::A, kThealsAId,
         {{6, 78615}, {78713, 2714}, {81594, 338}, {82070, 13}},
         {{81411, kSkipEntries}, {81470, kCallBack}, {81916, kHandler}},
         {0, 5, 48, 81427, 81493, 81512, 81517 + 12, 81945, 82026, 82068, 3712 + 14}},
    };
    return cases;
}

TEST(ThealsGenerations, FoundAndDisarmedInPlace) {
    for (const GenerationCase& c : generations()) {
        const ThealsInfected infected = thealsInfect(c.generation);
        const support::Outcome outcome = support::scanThenKill(infected.file, qe::FORMAT_PE);
        EXPECT_EQ(outcome.finding.virusId, c.id) << c.name;
        EXPECT_EQ(outcome.finding.phase, host::Phase::PostLibrary) << c.name;
        EXPECT_EQ(outcome.result, KILL_REPAIRED) << c.name;
        Bytes expected = infected.file;
        for (const Range& r : c.nops) fillBytes(expected, infected.bodyStart + r.offset, r.length, 0x90);
        for (const Fix& f : c.fixes) putBytes(expected, infected.bodyStart + f.offset, f.bytes);
        EXPECT_EQ(outcome.bytes, expected) << c.name;
        EXPECT_FALSE(outcome.removed);
    }
}

TEST(ThealsGenerations, AnyFeatureChangedIsNotTheals) {
    for (const GenerationCase& c : generations()) {
        const ThealsInfected infected = thealsInfect(c.generation);
        for (uint32_t at : c.featureOffsets) {
            Bytes file = infected.file;
            file.at(infected.bodyStart + at) ^= 0x01;
            const support::Outcome outcome = support::scanThenKill(file, qe::FORMAT_PE);
            EXPECT_NE(outcome.finding.virusId, c.id) << c.name << " feature byte " << at;
            EXPECT_EQ(outcome.bytes, file) << c.name << " feature byte " << at;
        }
    }
}

TEST(ThealsGenerations, SignatureInTheLastSixtyFourKibibytesIsNotLookedAt) {
    // The body moved up by 0x1400 bytes: its start is then `end` itself, above every position
    // tried. The bytes behind it are cut so that the section's size stays.
    const ThealsInfected infected = thealsInfect(ThealsGeneration::First);
    Bytes file(infected.file.begin(), infected.file.begin() + infected.bodyStart);
    Bytes moved(infected.file.begin() + infected.bodyStart, infected.file.end());
    Bytes section(0x1400, 0x41);
    section.insert(section.end(), moved.begin(), moved.end() - 0x1400);
    file.insert(file.end(), section.begin(), section.end());
    file.insert(file.end(), moved.end() - 0x1400, moved.end());  // the features stay readable
    const support::Outcome outcome = support::scanThenKill(file, qe::FORMAT_PE);
    EXPECT_NE(outcome.finding.virusId, kThealsId);
    EXPECT_EQ(outcome.bytes, file);
}

// The generic form's disarmed bytes, from its layout.
Bytes genericRepair(const ThealsGenInfected& infected) {
    const ThealsGenLayout& at = infected.at;
    Bytes expected = infected.file;
    fillBytes(expected, at.jumpField + 4, at.exportWalk - (at.jumpField + 4), 0x90);
    fillBytes(expected, at.exportWalk + 96, at.body - (at.exportWalk + 96), 0x90);
    fillBytes(expected, at.alloc, at.handler - at.alloc, 0x90);
    putBytes(expected, at.body - 16, kSkipEntries);
    putBytes(expected, at.body + 43, kCallBack);
    const uint32_t patchAt = at.handler - 25;
    const uint32_t jump = at.resume - 16 - patchAt;
    putBytes(expected, patchAt,
          {0x8B, 0x44, 0x24, 0x04, 0x3D, 0x10, 0x00, 0x00, 0x80, 0x7F, 0x05, 0xE9, uint8_t(jump), uint8_t(jump >> 8),
           uint8_t(jump >> 16), uint8_t(jump >> 24), 0xE8, 0x04, 0x00, 0x00, 0x00, 0x90, 0x90, 0x90, 0x90});
    if (at.marker) fillBytes(expected, at.marker, 11, 0);
    return expected;
}

TEST(ThealsGeneric, DisarmedBetweenItsLandmarks) {
    for (bool marker : {true, false}) {
        const ThealsGenInfected infected = thealsGenInfect(80000, marker);
        const support::Outcome outcome = support::scanThenKill(infected.file, qe::FORMAT_PE);
        EXPECT_EQ(outcome.finding.virusId, kThealsId) << marker;
        EXPECT_EQ(outcome.result, KILL_REPAIRED) << marker;
        EXPECT_EQ(outcome.bytes, genericRepair(infected)) << marker;
        EXPECT_FALSE(outcome.removed);
    }
}

TEST(ThealsGeneric, AFileBelow76800BytesIsTheWormAlone) {
    const ThealsGenInfected bare = thealsGenInfect(76799);
    const support::Outcome deleted = support::scanThenKill(bare.file, qe::FORMAT_PE);
    EXPECT_EQ(deleted.finding.virusId, kThealsId);
    EXPECT_EQ(deleted.result, KILL_REMOVED);
    EXPECT_TRUE(deleted.removed);
    EXPECT_EQ(deleted.bytes, bare.file);

    const ThealsGenInfected host = thealsGenInfect(76800);
    const support::Outcome disarmed = support::scanThenKill(host.file, qe::FORMAT_PE);
    EXPECT_EQ(disarmed.result, KILL_REPAIRED);
    EXPECT_FALSE(disarmed.removed);
    EXPECT_EQ(disarmed.bytes, genericRepair(host));
}

TEST(ThealsGeneric, AMissingLandmarkFailsBeforeAnyWrite) {
    const ThealsGenInfected infected = thealsGenInfect(80000);
    const ThealsGenLayout& at = infected.at;
    const std::vector<std::pair<const char*, uint32_t>> broken = {
        {"export walk", at.exportWalk + 5}, {"allocation", at.alloc + 3}, {"handler", at.handler + 10},
        {"resume", at.resume + 6},          {"call behind resume", at.resume + 11}};
    for (const auto& [name, offset] : broken) {
        Bytes file = infected.file;
        file.at(offset) ^= 0x01;
        const support::Outcome outcome = support::scanThenKill(file, qe::FORMAT_PE);
        EXPECT_EQ(outcome.finding.virusId, kThealsId) << name;
        EXPECT_EQ(outcome.result, KILL_FAILED) << name;
        EXPECT_EQ(outcome.bytes, file) << name;
    }
}

TEST(ThealsGeneric, CheckRecordsDecide) {
    const ThealsGenInfected infected = thealsGenInfect(80000);
    for (uint32_t at : {0u, 36u + 15u, 61u + 3u}) {
        Bytes file = infected.file;
        file.at(infected.at.body + at) ^= 0x01;
        const support::Outcome outcome = support::scanThenKill(file, qe::FORMAT_PE);
        EXPECT_NE(outcome.finding.virusId, kThealsId) << at;
        EXPECT_EQ(outcome.bytes, file) << at;
    }
}

// The engine's slots and checks over a real file, without a unit around them.
TEST(ThealsEngine, SlotsAndChecks) {
    support::UnitHarness run(Bytes(100, 0x41), "x.exe");
    CScanTheals theals;
    EXPECT_EQ(theals.CheckVirus(), 0);  // no parameter block yet
    EXPECT_EQ(theals.Init(nullptr, run.param()), 1);
    EXPECT_EQ(theals.CheckVirus(), 1);  // slot 0 empty: nothing to differ
    EXPECT_EQ(theals.CheckLength(100), 1);
    EXPECT_EQ(theals.CheckLength(101), 0);
    const uint8_t same[2] = {0x41, 0x41}, other[2] = {0x41, 0x42};
    _FEARTURE_CODE matching{98, 2, same}, differing{10, 2, other}, beyondEnd{99, 2, same};
    EXPECT_EQ(theals.SetCheckFeature(10, &differing), 0);  // beyond the slots: not stored
    EXPECT_EQ(theals.SetCheckFeature(0, &matching), 1);
    EXPECT_EQ(theals.CheckVirus(), 1);
    EXPECT_EQ(theals.SetCheckFeature(1, &beyondEnd), 1);
    EXPECT_EQ(theals.CheckVirus(), 0);  // one byte short
    EXPECT_EQ(theals.SetCheckFeature(1, nullptr), 1);
    EXPECT_EQ(theals.SetCheckFeature(2, &differing), 1);  // after an empty slot: never read
    EXPECT_EQ(theals.CheckVirus(), 1);
    EXPECT_EQ(theals.SetFixCode(4, nullptr), 0);
    EXPECT_EQ(theals.SetFillNop(5, nullptr), 0);
    // Nothing located: the repairs refuse to work from the file's start.
    _FILL_NOP_CONFIG nop{0, 10};
    ASSERT_EQ(theals.SetFillNop(0, &nop), 1);
    EXPECT_EQ(theals.FillNop(), 0);
    EXPECT_EQ(run.bytes(), Bytes(100, 0x41));
}

}  // namespace
