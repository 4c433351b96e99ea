// The scan engines over test tables: format slots, the walk, the kept unit, damaged files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/emulator/emulator.h"
#include "module/frame/scan_engine.h"
#include "sdk/format_codes.h"
#include "sdk/identifiers.h"
#include "tests/frame/frame_test_support.h"

namespace {

using namespace frametest;
using Events = std::vector<std::string>;

#define ROW(id, n) UnitTableEntry{id, &ScriptedUnit<n>::CreateScanExUnit, "ScriptedUnit<" #n ">", "Test.Scripted" #n}
constexpr UnitTableEntry kEnd{0, nullptr, nullptr, nullptr};

// One single-unit table per slot, each with its own identifier, so the result names the slot.
const UnitTableEntry kSlot0[] = {ROW(0x100, 0), kEnd};
const UnitTableEntry kSlot1[] = {ROW(0x101, 1), kEnd};
const UnitTableEntry kSlot2[] = {ROW(0x102, 2), kEnd};
const UnitTableEntry kSlot3[] = {ROW(0x103, 3), kEnd};
const UnitTableEntry kSlot4[] = {ROW(0x104, 4), kEnd};
const UnitTableEntry kSlot5[] = {ROW(0x105, 5), kEnd};
const UnitTableEntry kSlot6[] = {ROW(0x106, 6), kEnd};
const UnitTableEntry kSlot7[] = {ROW(0x107, 7), kEnd};
const UnitTableEntry* const kEverySlot[kFormatSlotCount] = {kSlot0, kSlot1, kSlot2, kSlot3,
                                                           kSlot4, kSlot5, kSlot6, kSlot7};

// Damaged files: distinct identifiers, and no tables for slots 5 to 7.
const UnitTableEntry kBadPE[] = {ROW(0x200, 0), kEnd};
const UnitTableEntry kBadCOM[] = {ROW(0x202, 2), kEnd};
const UnitTableEntry kEmpty[] = {kEnd};
const UnitTableEntry* const kBadFiles[kFormatSlotCount] = {kBadPE, kEmpty, kBadCOM, kEmpty,
                                                          kEmpty, nullptr, nullptr, nullptr};

// Three candidates in a row for ordinary files.
const UnitTableEntry kThree[] = {ROW(0x10, 0), ROW(0x40000011, 1), ROW(0x12, 2), kEnd};
const UnitTableEntry* const kThreeForOrdinary[kFormatSlotCount] = {nullptr, nullptr, nullptr, nullptr,
                                                                   kThree,  nullptr, nullptr, nullptr};

class ScanEngineTest : public ::testing::Test {
protected:
    void SetUp() override { resetUnits(); }
    void TearDown() override {
        if (engine_) engine_->Release();
        EXPECT_EQ(rot_.refs, 0);
        for (host::FileObject* f : files_) {
            EXPECT_EQ(f->refCount(), 1u) << "the engine left a reference on the file";
            f->Release();
        }
    }

    CQEEngineScanEx* engine(const UnitTableEntry* const* phase, uint32_t postLibrary = 0,
                            const UnitTableEntry* const* badFiles = kBadFiles) {
        engine_ = new CQEEngineScanEx(phase, postLibrary, badFiles);
        engine_->AddRef();
        EXPECT_EQ(engine_->init_class(&rot_, nullptr), QE_OK);
        return engine_;
    }
    IUnknown* file(std::vector<uint8_t> bytes, uint32_t format) {
        files_.push_back(makeFile(std::move(bytes), format));
        return static_cast<IQEArchive*>(files_.back());
    }
    uint32_t scan(IUnknown* f, uint32_t flags = 0, IExecExport* exec = nullptr) {
        STScanExRequest request{flags, 0, 7, 0x1234, exec};
        return engine_->Scan(f, &request);
    }
    void everyUnitFinds() {
        for (UnitScript& s : unitLog.scripts) s.scan = 1;
    }

    FakeRunningObjectTable rot_;
    CQEEngineScanEx* engine_ = nullptr;
    std::vector<host::FileObject*> files_;
};

TEST_F(ScanEngineTest, FormatCodesPickTheirSlots) {
    everyUnitFinds();
    engine(kEverySlot);
    struct Case {
        uint32_t format;
        uint32_t expected;
    } cases[] = {
        {qe::FORMAT_MZ, 0x101},  {qe::FORMAT_COM, 0x102}, {qe::FORMAT_VBS, 0x103},
        {qe::FORMAT_FILE, 0x104}, {qe::FORMAT_SWF, 0x106}, {qe::FORMAT_SWF_COMPRESSED, 0x106},
        {qe::FORMAT_JPEG, 0x107}, {1, 0},                  {4, 0},
        {qe::FORMAT_PDF, 0},     {qe::FORMAT_UNKNOWN, 0}, {0x10003, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(scan(file({1, 2, 3}, c.format)), c.expected) << "format " << c.format;
}

TEST_F(ScanEngineTest, PeFilesNeedParsedHeaders) {
    everyUnitFinds();
    engine(kEverySlot);
    IUnknown* pe = file(smallPe(), qe::FORMAT_PE);
    auto exec = host::Emulator::create(files_.back());
    EXPECT_EQ(scan(pe, 0, exec.get()), 0x100u);
    EXPECT_EQ(unitLog.lastSectionCount, 1u);
    EXPECT_EQ(unitLog.lastParam.emulator, exec.get());

    resetUnits();
    everyUnitFinds();
    EXPECT_EQ(scan(pe, 0, nullptr), 0u) << "no emulator";
    IUnknown* notPe = file({'M', 'Z', 0, 0}, qe::FORMAT_PE);
    auto notPeExec = host::Emulator::create(files_.back());
    EXPECT_EQ(scan(notPe, 0, notPeExec.get()), 0u) << "headers cannot be parsed";
    EXPECT_EQ(unitLog.created, 0);
}

TEST_F(ScanEngineTest, FirstHitWinsAndItsIdentifierIsReturnedAsStored) {
    unitLog.scripts[1].scan = 1;
    unitLog.scripts[2].scan = 1;
    engine(kThreeForOrdinary);
    IUnknown* f = file({1}, qe::FORMAT_FILE);
    EXPECT_EQ(scan(f), 0x40000011u);
    EXPECT_EQ(unitLog.events, (Events{"0 need", "0 scan", "0 deleted", "1 need", "1 scan", "1 work 0x40000011"}));
    EXPECT_EQ(unitLog.live, 1);
    EXPECT_EQ(unitLog.lastWorkStream, static_cast<IUnknown*>(static_cast<IQEStream*>(files_.back())));
}

TEST_F(ScanEngineTest, ZeroFromAnyStepDeletesTheUnitAndMovesOn) {
    struct Case {
        const char* name;
        UnitScript first;
        Events expected;
    } cases[] = {
        {"NeedToScan 0 is never scanned", {0, 1, 1}, {"0 need", "0 deleted", "1 need"}},
        {"Scan 0", {1, 0, 1}, {"0 need", "0 scan", "0 deleted", "1 need"}},
        {"WorkIfVirus 0", {1, 1, 0}, {"0 need", "0 scan", "0 work 0x00000010", "0 deleted", "1 need"}},
    };
    for (const Case& c : cases) {
        resetUnits();
        unitLog.scripts[0] = c.first;
        unitLog.scripts[1].scan = 1;
        engine(kThreeForOrdinary);
        EXPECT_EQ(scan(file({1}, qe::FORMAT_FILE)), 0x40000011u) << c.name;
        const Events firstEvents(unitLog.events.begin(), unitLog.events.begin() + c.expected.size());
        EXPECT_EQ(firstEvents, c.expected) << c.name;
        engine_->Release();
        engine_ = nullptr;
    }
}

TEST_F(ScanEngineTest, NoHitLeavesNoUnit) {
    engine(kThreeForOrdinary);
    EXPECT_EQ(scan(file({1}, qe::FORMAT_FILE)), 0u);
    EXPECT_EQ(unitLog.created, 3);
    EXPECT_EQ(unitLog.live, 0);
    EXPECT_EQ(engine_->Kill(nullptr, nullptr), KILL_FAILED);
}

class OnlyScanOverridden : public CScanEXVirus {
public:
    uint32_t Scan(STScanInfo*, tagScanExParam*) override { return 5; }
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<OnlyScanOverridden>(); }
};
const UnitTableEntry kOnlyScan[] = {{0x3000, &OnlyScanOverridden::CreateScanExUnit, "OnlyScanOverridden", "Test.OnlyScan"}, kEnd};
const UnitTableEntry* const kOnlyScanForCOM[kFormatSlotCount] = {nullptr, nullptr, kOnlyScan};

TEST_F(ScanEngineTest, UnitOverridingOnlyScanHitsAndCannotKill) {
    engine(kOnlyScanForCOM);
    EXPECT_EQ(engine_->Kill(nullptr, nullptr), KILL_FAILED) << "before any hit";
    EXPECT_EQ(scan(file({0xE9, 0, 0}, qe::FORMAT_COM)), 0x3000u);
    EXPECT_EQ(engine_->Kill(nullptr, nullptr), KILL_FAILED) << "the default Kill";
}

TEST_F(ScanEngineTest, KillGoesThroughTheKeptUnitWithTheLastScansRecords) {
    unitLog.scripts[1].scan = 1;
    unitLog.scripts[1].kill = KILL_REPAIRED;
    engine(kThreeForOrdinary);
    IUnknown* f = file({1}, qe::FORMAT_FILE);
    STScanExRequest request{0, 0, 7, 0x1234, nullptr};
    ASSERT_EQ(engine_->Scan(f, &request), 0x40000011u);
    IUnknown* other = file({2}, qe::FORMAT_FILE);
    EXPECT_EQ(engine_->Kill(other, nullptr), KILL_REPAIRED);
    EXPECT_EQ(unitLog.events.back(), "1 kill");
    EXPECT_EQ(unitLog.lastInfo.archive, static_cast<IQEArchive*>(files_[0]));
    EXPECT_EQ(unitLog.lastInfo.stream, static_cast<IQEStream*>(files_[0]));
    EXPECT_EQ(unitLog.lastInfo.rot, static_cast<IUnknown*>(&rot_));
    EXPECT_EQ(unitLog.lastParam.method, 7u);
    EXPECT_EQ(unitLog.lastParam.methodParameter, 0x1234u);
    EXPECT_EQ(unitLog.lastParam.peHeaders, nullptr);
    EXPECT_EQ(unitLog.live, 1) << "the kept unit outlives its Kill";
}

TEST_F(ScanEngineTest, NextHitReplacesTheKeptUnitAndAMissKeepsIt) {
    unitLog.scripts[1].scan = 1;
    engine(kThreeForOrdinary);
    IUnknown* f = file({1}, qe::FORMAT_FILE);
    ASSERT_EQ(scan(f), 0x40000011u);
    CScanEXVirus* first = engine_->keptUnit();
    ASSERT_EQ(scan(f), 0x40000011u);
    EXPECT_NE(engine_->keptUnit(), first);
    EXPECT_EQ(unitLog.live, 1);
    unitLog.scripts[1].scan = 0;
    CScanEXVirus* second = engine_->keptUnit();
    ASSERT_EQ(scan(f), 0u);
    EXPECT_EQ(engine_->keptUnit(), second);
    EXPECT_EQ(unitLog.live, 1);
}

// A creator that hands out the same object every time.
CScanEXVirus* g_sameUnit = nullptr;
CScanEXVirus* createSameUnit() { return g_sameUnit; }
const UnitTableEntry kSame[] = {{0x55, &createSameUnit, "same object", "Test.Same"}, kEnd};
const UnitTableEntry* const kSameForMZ[kFormatSlotCount] = {nullptr, kSame};

TEST_F(ScanEngineTest, SameUnitObjectFoundTwiceIsKept) {
    unitLog.scripts[3].scan = 1;
    g_sameUnit = new ScriptedUnit<3>();
    engine(kSameForMZ);
    IUnknown* f = file({'M', 'Z'}, qe::FORMAT_MZ);
    EXPECT_EQ(scan(f), 0x55u);
    EXPECT_EQ(scan(f), 0x55u);
    EXPECT_EQ(engine_->keptUnit(), g_sameUnit);
    // Now it misses: it is still the kept unit and must stay alive.
    unitLog.scripts[3].scan = 0;
    EXPECT_EQ(scan(f), 0u);
    EXPECT_EQ(unitLog.live, 1);
    engine_->Release();
    engine_ = nullptr;
    EXPECT_EQ(unitLog.live, 0);
}

TEST_F(ScanEngineTest, FailedUnitCreationEndsTheWalk) {
    const UnitTableEntry table[] = {ROW(0x1, 0), {0x2, &createNothing, "nothing", "Test.Nothing"}, ROW(0x3, 1), kEnd};
    const UnitTableEntry* const phase[kFormatSlotCount] = {nullptr, nullptr, nullptr, nullptr, table};
    unitLog.scripts[1].scan = 1;
    engine(phase);
    EXPECT_EQ(scan(file({1}, qe::FORMAT_FILE)), KILL_FAILED);
    EXPECT_EQ(unitLog.created, 1);
}

TEST_F(ScanEngineTest, DamagedFiles) {
    everyUnitFinds();
    struct Case {
        const char* name;
        uint32_t postLibrary;
        uint32_t format;
        uint32_t expected;
    } cases[] = {
        {"pre engine, COM: bad-file table", 0, qe::FORMAT_COM, 0x202},
        {"pre engine, MZ: empty bad-file table", 0, qe::FORMAT_MZ, 0},
        {"pre engine, Flash: no bad-file table", 0, qe::FORMAT_SWF, 0},
        {"pre engine, JPEG: no bad-file table", 0, qe::FORMAT_JPEG, 0},
        {"post engine never scans them", 1, qe::FORMAT_COM, 0},
    };
    for (const Case& c : cases) {
        engine(kEverySlot, c.postLibrary);
        EXPECT_EQ(scan(file({1}, c.format), 1), c.expected) << c.name;
        engine_->Release();
        engine_ = nullptr;
    }
}

TEST_F(ScanEngineTest, DamagedPeWalksTheBadFileTable) {
    everyUnitFinds();
    engine(kEverySlot);
    IUnknown* pe = file(smallPe(), qe::FORMAT_PE);
    auto exec = host::Emulator::create(files_.back());
    EXPECT_EQ(scan(pe, 0x10, exec.get()), 0x200u);
    EXPECT_EQ(unitLog.lastInfo.flags, 0x10u);
}

// The post engine turns a damaged file away before asking the file object anything.
class CountingUnknown : public PlainUnknown {
public:
    QRESULT QueryInterface(const GUID& iid, void** out) override {
        ++questions;
        return PlainUnknown::QueryInterface(iid, out);
    }
    int questions = 0;
};

TEST_F(ScanEngineTest, PostEngineLeavesDamagedFilesUntouched) {
    engine(kEverySlot, 1);
    CountingUnknown f;
    STScanExRequest request{1, 0, 0, 0, nullptr};
    EXPECT_EQ(engine_->Scan(&f, &request), 0u);
    EXPECT_EQ(f.questions, 0);
}

TEST_F(ScanEngineTest, UnreachableFilesGiveZero) {
    everyUnitFinds();
    engine(kEverySlot);
    PlainUnknown noArchive;
    STScanExRequest request{0, 0, 0, 0, nullptr};
    EXPECT_EQ(engine_->Scan(nullptr, &request), 0u);
    EXPECT_EQ(engine_->Scan(&noArchive, &request), 0u);
    EXPECT_EQ(noArchive.refs, 0);
    files_.push_back(host::FileObject::fromBytes({1, 2}));  // no format property
    EXPECT_EQ(scan(static_cast<IQEArchive*>(files_.back())), 0u);
    EXPECT_EQ(unitLog.created, 0);

    CQEEngineScanEx noTables(nullptr, 0);
    EXPECT_EQ(noTables.Scan(static_cast<IQEArchive*>(files_.back()), &request), 0u);
}

}  // namespace
