// The table walk both scan engines share: which units it creates, asks and deletes, which one
// it keeps, and the rule for a creator that hands the kept unit out again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module/frame/unit_walk.h"
#include "module/frame/unknown_engine.h"
#include "sdk/format_codes.h"
#include "tests/frame/frame_test_support.h"

namespace {

using namespace frametest;
using Events = std::vector<std::string>;

#define ROW(id, n) UnitTableEntry{id, &ScriptedUnit<n>::CreateScanExUnit, "ScriptedUnit<" #n ">", "Test.Scripted"}
constexpr UnitTableEntry kEnd{0, nullptr, nullptr, nullptr};

const UnitTableEntry kThree[] = {ROW(0x10, 0), ROW(0x11, 1), ROW(0x12, 2), kEnd};
const UnitTableEntry kFailsSecond[] = {ROW(0x10, 0), {0x20, &createNothing, "nothing", "Test.Nothing"}, ROW(0x12, 2), kEnd};
const UnitTableEntry kEmpty[] = {kEnd};

// A creator that hands out the same object every time (unit 3).
CScanEXVirus* g_sameUnit = nullptr;
CScanEXVirus* createSameUnit() { return g_sameUnit; }
const UnitTableEntry kSameThenOther[] = {{0x55, &createSameUnit, "same object", "Test.Same"}, ROW(0x56, 4), kEnd};

class UnitWalk : public ::testing::Test {
protected:
    void SetUp() override { resetUnits(); }
    UnitWalkResult walk(const UnitTableEntry* table) {
        return walkUnitTable(table, &info_, &param_, &stream_, kept_);
    }

    STScanInfo info_{};
    tagScanExParam param_{};
    PlainUnknown stream_;
    KeptUnit kept_;
};

TEST_F(UnitWalk, AsksInOrderKeepsTheFirstHitAndDeletesTheRest) {
    struct Case {
        const char* name;
        const UnitTableEntry* table;
        UnitScript unit1;
        UnitWalkResult::Outcome outcome;
        uint32_t hitId;
        Events events;
    } cases[] = {
        {"no table", nullptr, {}, UnitWalkResult::kMissed, 0, {}},
        {"empty table", kEmpty, {}, UnitWalkResult::kMissed, 0, {}},
        {"the second hits", kThree, {1, 1, 1}, UnitWalkResult::kHit, 0x11,
         {"0 need", "0 scan", "0 deleted", "1 need", "1 scan", "1 work 0x00000011"}},
        {"NeedToScan refuses", kThree, {0, 1, 1}, UnitWalkResult::kMissed, 0,
         {"0 need", "0 scan", "0 deleted", "1 need", "1 deleted", "2 need", "2 scan", "2 deleted"}},
        {"WorkIfVirus refuses", kThree, {1, 1, 0}, UnitWalkResult::kMissed, 0,
         {"0 need", "0 scan", "0 deleted", "1 need", "1 scan", "1 work 0x00000011", "1 deleted",
          "2 need", "2 scan", "2 deleted"}},
        {"a creator fails", kFailsSecond, {1, 1, 1}, UnitWalkResult::kUnitNotCreated, 0,
         {"0 need", "0 scan", "0 deleted"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kept_.reset();
        resetUnits();
        unitLog.scripts[1] = c.unit1;
        const UnitWalkResult result = walk(c.table);
        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(result.row ? result.row->id : 0u, c.hitId);
        EXPECT_EQ(unitLog.events, c.events);
        EXPECT_EQ(unitLog.live, c.outcome == UnitWalkResult::kHit ? 1 : 0);
        EXPECT_EQ(kept_.get() != nullptr, c.outcome == UnitWalkResult::kHit);
    }
    // The units were asked with the walk's records and the stream it was given.
    unitLog.scripts[0].scan = 1;
    ASSERT_EQ(walk(kThree).outcome, UnitWalkResult::kHit);
    EXPECT_EQ(unitLog.lastWorkStream, static_cast<IUnknown*>(&stream_));
}

TEST_F(UnitWalk, KeptUnitReplacedOnTheNextHitAndKeptOnAMiss) {
    unitLog.scripts[0].scan = 1;
    unitLog.scripts[0].kill = KILL_REPAIRED;
    ASSERT_EQ(walk(kThree).outcome, UnitWalkResult::kHit);
    CScanEXVirus* first = kept_.get();
    ASSERT_EQ(walk(kThree).outcome, UnitWalkResult::kHit);
    EXPECT_NE(kept_.get(), first);
    EXPECT_EQ(unitLog.live, 1) << "the first kept unit was deleted";
    unitLog.scripts[0].scan = 0;
    CScanEXVirus* second = kept_.get();
    ASSERT_EQ(walk(kThree).outcome, UnitWalkResult::kMissed);
    EXPECT_EQ(kept_.get(), second);
    EXPECT_EQ(unitLog.live, 1);
    EXPECT_EQ(kept_.kill(&info_, &param_), uint32_t(KILL_REPAIRED));
    EXPECT_EQ(unitLog.events.back(), "0 kill");
    kept_.reset();
    EXPECT_EQ(unitLog.live, 0);
    EXPECT_EQ(kept_.kill(&info_, &param_), uint32_t(KILL_FAILED)) << "nothing kept";
}

TEST_F(UnitWalk, KeptUnitHandedOutAgainStaysAliveUntilAnotherHits) {
    g_sameUnit = new ScriptedUnit<3>();
    unitLog.scripts[3].scan = 1;
    ASSERT_EQ(walk(kSameThenOther).outcome, UnitWalkResult::kHit);
    ASSERT_EQ(walk(kSameThenOther).outcome, UnitWalkResult::kHit) << "the same object hits again";
    EXPECT_EQ(kept_.get(), g_sameUnit);
    EXPECT_EQ(unitLog.live, 1);
    unitLog.scripts[3].scan = 0;
    ASSERT_EQ(walk(kSameThenOther).outcome, UnitWalkResult::kMissed) << "now it misses";
    EXPECT_EQ(kept_.get(), g_sameUnit);
    EXPECT_EQ(unitLog.live, 1) << "a miss must not delete the kept unit";
    unitLog.scripts[4].scan = 1;
    ASSERT_EQ(walk(kSameThenOther).outcome, UnitWalkResult::kHit);
    EXPECT_NE(kept_.get(), g_sameUnit);
    EXPECT_EQ(unitLog.live, 1) << "another unit's hit deletes it";
    kept_.reset();
    EXPECT_EQ(unitLog.live, 0);
}

// The unknown-virus engine walks its table by the same rule.
TEST(UnknownEngineWalk, KeptUnitHandedOutAgainStaysAlive) {
    resetUnits();
    const UnitTableEntry* const phase[kFormatSlotCount] = {kSameThenOther};
    FakeRunningObjectTable rot;
    host::FileObject* file = makeFile(smallPe(), qe::FORMAT_PE);
    auto* engine = new CQEEngineUnkVirusEx(phase);
    engine->AddRef();
    ASSERT_EQ(engine->init_class(&rot, nullptr), QE_OK);

    g_sameUnit = new ScriptedUnit<3>();
    unitLog.scripts[3].scan = 1;
    unitLog.scripts[3].kill = KILL_REPAIRED;
    IUnknown* target = static_cast<IQEArchive*>(file);
    EXPECT_EQ(engine->Scan(target), 0u) << "no verdict: the unit names nothing";
    EXPECT_EQ(engine->Scan(target), 0u);
    EXPECT_EQ(unitLog.live, 1) << "the same object hit twice is still alive";
    unitLog.scripts[3].scan = 0;
    EXPECT_EQ(engine->Scan(target), 0u);
    EXPECT_EQ(unitLog.live, 1) << "a miss must not delete the kept unit";
    EXPECT_EQ(engine->Kill(target), uint32_t(KILL_REPAIRED));
    EXPECT_EQ(unitLog.events.back(), "3 kill");

    engine->Release();
    EXPECT_EQ(unitLog.live, 0);
    EXPECT_EQ(rot.refs, 0);
    file->Release();
}

// A creator that fails while g_failCreation is set (unit 5 otherwise).
bool g_failCreation = false;
CScanEXVirus* createUnlessFailing() { return g_failCreation ? nullptr : ScriptedUnit<5>::CreateScanExUnit(); }
const UnitTableEntry kFailsOnDemand[] = {{0x57, &createUnlessFailing, "fails on demand", "Test.Failing"}, kEnd};

// A walk ended by a failed creation keeps no pointer to the file it scanned: the kept unit's
// Kill without a file of its own sees no stream rather than the released one.
TEST(UnknownEngineWalk, FailedCreationReleasesTheScannedFile) {
    resetUnits();
    g_failCreation = false;
    const UnitTableEntry* const phase[kFormatSlotCount] = {kFailsOnDemand};
    FakeRunningObjectTable rot;
    host::FileObject* file = makeFile(smallPe(), qe::FORMAT_PE);
    auto* engine = new CQEEngineUnkVirusEx(phase);
    engine->AddRef();
    ASSERT_EQ(engine->init_class(&rot, nullptr), QE_OK);

    unitLog.scripts[5].scan = 1;
    unitLog.scripts[5].kill = KILL_REPAIRED;
    IUnknown* target = static_cast<IQEArchive*>(file);
    EXPECT_EQ(engine->Scan(target), 0u);
    g_failCreation = true;
    EXPECT_EQ(engine->Scan(target), uint32_t(KILL_FAILED));
    EXPECT_EQ(engine->Kill(nullptr), uint32_t(KILL_REPAIRED)) << "the unit kept by the first scan";
    EXPECT_EQ(unitLog.events.back(), "5 kill");
    EXPECT_EQ(unitLog.lastInfo.stream, nullptr);
    EXPECT_EQ(unitLog.lastInfo.archive, nullptr);

    engine->Release();
    g_failCreation = false;
    EXPECT_EQ(unitLog.live, 0);
    file->Release();
}

}  // namespace
