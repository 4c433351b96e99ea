// Binding engines to the running-object table, and what an engine releases when it dies.
#include <gtest/gtest.h>

#include "host/emulator/emulator.h"
#include "module/frame/kill_engine.h"
#include "module/frame/scan_engine.h"
#include "sdk/format_codes.h"
#include "sdk/identifiers.h"
#include "tests/frame/frame_test_support.h"

namespace {

using namespace frametest;

TEST(EngineBinding, SecondInitClassWithTheSameTableChangesNothing) {
    FakeRunningObjectTable rot;
    auto* engine = new CQEEngineKillEx();
    engine->AddRef();
    ASSERT_EQ(engine->init_class(&rot, nullptr), QE_OK);
    EXPECT_EQ(engine->init_class(&rot, nullptr), QE_OK);
    EXPECT_EQ(rot.refs, 1);
    EXPECT_EQ(engine->runningObjectTable(), &rot);
    engine->Release();
    EXPECT_EQ(rot.refs, 0);
}

TEST(EngineBinding, AnotherTableReleasesTheFirst) {
    FakeRunningObjectTable first, second;
    auto* engine = new CQEEngineScanExPre();
    engine->AddRef();
    ASSERT_EQ(engine->init_class(&first, nullptr), QE_OK);
    ASSERT_EQ(engine->init_class(&second, nullptr), QE_OK);
    EXPECT_EQ(first.refs, 0);
    EXPECT_EQ(second.refs, 1);
    engine->Release();
    EXPECT_EQ(second.refs, 0);
}

TEST(EngineBinding, OuterObjectChangesNothing) {
    FakeRunningObjectTable rot, other;
    PlainUnknown outer;
    auto* engine = new CQEEngineScanExPost();
    engine->AddRef();
    ASSERT_EQ(engine->init_class(&rot, nullptr), QE_OK);
    EXPECT_EQ(engine->init_class(&other, &outer), QE_E_INVALIDARG);
    EXPECT_EQ(engine->runningObjectTable(), &rot);
    EXPECT_EQ(rot.refs, 1);
    EXPECT_EQ(other.refs, 0);
    engine->Release();
}

TEST(EngineBinding, NullOrUnsuitableTableUnbindsAndFails) {
    FakeRunningObjectTable rot;
    PlainUnknown notATable;
    auto* engine = new CQEEngineKillEx();
    engine->AddRef();
    ASSERT_EQ(engine->init_class(&rot, nullptr), QE_OK);
    EXPECT_EQ(engine->init_class(&notATable, nullptr), QE_E_INVALIDARG);
    EXPECT_EQ(engine->runningObjectTable(), nullptr);
    EXPECT_EQ(rot.refs, 0);
    EXPECT_EQ(notATable.refs, 0);
    EXPECT_EQ(engine->init_class(nullptr, nullptr), QE_E_INVALIDARG);
    engine->Release();
}

TEST(EngineBinding, ReferenceCountsAreReturned) {
    auto* engine = new CQEEngineKillEx();
    EXPECT_EQ(engine->AddRef(), 1u);
    EXPECT_EQ(engine->AddRef(), 2u);
    EXPECT_EQ(engine->Release(), 1u);
    EXPECT_EQ(engine->Release(), 0u);
}

const UnitTableEntry kHitTable[] = {{0x77, &ScriptedUnit<0>::CreateScanExUnit, "ScriptedUnit<0>", "Test.Hit"}, {0, nullptr, nullptr, nullptr}};
const UnitTableEntry* const kHitPhase[kFormatSlotCount] = {kHitTable, kHitTable, kHitTable, kHitTable,
                                                          kHitTable, nullptr,   nullptr,   nullptr};

// The kept unit and the PE headers go before the running-object table is released.
TEST(EngineLifetime, KeptUnitIsDeletedBeforeTheTableIsReleased) {
    resetUnits();
    unitLog.scripts[0].scan = 1;
    FakeRunningObjectTable rot;
    auto* engine = new CQEEngineScanEx(kHitPhase, 0);
    engine->AddRef();
    ASSERT_EQ(engine->init_class(&rot, nullptr), QE_OK);
    host::FileObject* file = makeFile(smallPe(), qe::FORMAT_PE);
    auto exec = host::Emulator::create(file);
    STScanExRequest request{0, 0, 0, 0, exec.get()};
    ASSERT_EQ(engine->Scan(static_cast<IQEArchive*>(file), &request), 0x77u);
    EXPECT_EQ(unitLog.live, 1);
    unitLog.watchedRefs = &rot.refs;
    engine->Release();
    EXPECT_EQ(unitLog.live, 0);
    EXPECT_EQ(unitLog.refsAtDeletion, 1);
    EXPECT_EQ(rot.refs, 0);
    exec.reset();  // the emulator holds its own reference to the file
    EXPECT_EQ(file->refCount(), 1u);
    file->Release();
}

}  // namespace
