// The kill engine over test tables: by virus identifier, method number and special method.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/emulator/emulator.h"
#include "module/frame/kill_engine.h"
#include "sdk/format_codes.h"
#include "sdk/identifiers.h"
#include "tests/frame/frame_test_support.h"

namespace {

using namespace frametest;
using Events = std::vector<std::string>;

#define ROW(id, n) UnitTableEntry{id, &ScriptedUnit<n>::CreateScanExUnit, "ScriptedUnit<" #n ">", "Test.Scripted" #n}
constexpr UnitTableEntry kEnd{0, nullptr, nullptr, nullptr};

const UnitTableEntry kPEKill[] = {ROW(0x10, 0), kEnd};
// One class under several identifiers, as the COM cleaners of one family are registered.
const UnitTableEntry kCOMKill[] = {ROW(0x3AD9, 1), ROW(0x3AD6, 1), ROW(0x1FFFFFFF, 2), kEnd};
const UnitTableEntry kOrdinaryKill[] = {ROW(0x1, 7), kEnd};
const UnitTableEntry* const kBySlot[kFormatSlotCount] = {kPEKill, nullptr, kCOMKill, nullptr, kOrdinaryKill,
                                                        kOrdinaryKill, kOrdinaryKill, kOrdinaryKill};
// A duplicate key later in a table is never reached.
const UnitTableEntry kMethods[] = {ROW(1, 3), ROW(2, 4), ROW(1, 5), kEnd};
const UnitTableEntry kSpecial[] = {ROW(1, 5), ROW(3, 6), kEnd};
const KillTables kTestTables = {kBySlot, kMethods, kSpecial};

class KillEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetUnits();
        for (UnitScript& s : unitLog.scripts) s.kill = KILL_REPAIRED;
        engine_ = new CQEEngineKillEx(kTestTables);
        engine_->AddRef();
        ASSERT_EQ(engine_->init_class(&rot_, nullptr), QE_OK);
    }
    void TearDown() override {
        engine_->Release();
        EXPECT_EQ(rot_.refs, 0);
        EXPECT_EQ(unitLog.live, 0) << "kill units live for one call";
        for (host::FileObject* f : files_) {
            EXPECT_EQ(f->refCount(), 1u);
            f->Release();
        }
    }
    IUnknown* file(std::vector<uint8_t> bytes, uint32_t format) {
        files_.push_back(makeFile(std::move(bytes), format));
        return static_cast<IQEArchive*>(files_.back());
    }
    uint32_t kill(IUnknown* f, uint32_t virusId, int32_t method, uint32_t parameter, IExecExport* exec = nullptr,
                  uint32_t flags = 0) {
        STScanExRequest request{flags, virusId, method, parameter, exec};
        return engine_->Kill(f, &request);
    }

    FakeRunningObjectTable rot_;
    CQEEngineKillEx* engine_ = nullptr;
    std::vector<host::FileObject*> files_;
};

TEST_F(KillEngineTest, VirusIdentifierIgnoresBits29To31) {
    IUnknown* com = file({0xE9, 0, 0}, qe::FORMAT_COM);
    struct Case {
        uint32_t virusId;
        uint32_t expected;
        Events events;
    } cases[] = {
        {0x00003AD6, KILL_REPAIRED, {"1 kill", "1 deleted"}},
        {0x40003AD6, KILL_REPAIRED, {"1 kill", "1 deleted"}},  // as some scan tables report it
        {0xE0003AD9, KILL_REPAIRED, {"1 kill", "1 deleted"}},
        {0xFFFFFFFF, KILL_REPAIRED, {"2 kill", "2 deleted"}},
        {0x10003AD6, KILL_FAILED, {}},  // bit 28 belongs to the identifier
        {0x00003AD7, KILL_FAILED, {}},
    };
    for (const Case& c : cases) {
        unitLog.events.clear();
        EXPECT_EQ(kill(com, c.virusId, qe::KILL_BY_ID, 0), c.expected) << std::hex << c.virusId;
        EXPECT_EQ(unitLog.events, c.events) << std::hex << c.virusId;
    }
}

TEST_F(KillEngineTest, UnitResultIsPassedOnAndTheUnitGetsTheRequest) {
    IUnknown* com = file({0xE9, 0, 0}, qe::FORMAT_COM);
    for (uint32_t result : {KILL_REPAIRED, KILL_REMOVED, KILL_FAILED, KILL_REMOVE_FAILED, KILL_FAILED_FORMAT}) {
        unitLog.scripts[1].kill = result;
        EXPECT_EQ(kill(com, 0x3AD9, qe::KILL_BY_ID, 0x99, nullptr, 0x5), result);
    }
    EXPECT_EQ(unitLog.lastInfo.archive, static_cast<IQEArchive*>(files_[0]));
    EXPECT_EQ(unitLog.lastInfo.stream, static_cast<IQEStream*>(files_[0]));
    EXPECT_EQ(unitLog.lastInfo.rot, static_cast<IUnknown*>(&rot_));
    EXPECT_EQ(unitLog.lastInfo.flags, 0x5u);
    EXPECT_EQ(unitLog.lastParam.method, 0u);
    EXPECT_EQ(unitLog.lastParam.methodParameter, 0x99u);
    EXPECT_EQ(unitLog.created, 5);
}

TEST_F(KillEngineTest, MethodNumbersAndSpecialMethods) {
    IUnknown* mz = file({'M', 'Z'}, qe::FORMAT_MZ);  // no kill table of its own: not needed
    struct Case {
        const char* name;
        int32_t method;
        uint32_t parameter;
        uint32_t expected;
        Events events;
    } cases[] = {
        {"method 1", qe::KILL_BY_METHOD, 1, KILL_REPAIRED, {"3 kill", "3 deleted"}},
        {"method 2", qe::KILL_BY_METHOD, 2, KILL_REPAIRED, {"4 kill", "4 deleted"}},
        {"method number absent", qe::KILL_BY_METHOD, 9, KILL_FAILED, {}},
        {"special method 3", int32_t(0x80000003u), 0x0208FFFB, KILL_REPAIRED, {"6 kill", "6 deleted"}},
        {"special method 1", int32_t(0x80000001u), 0, KILL_REPAIRED, {"5 kill", "5 deleted"}},
        {"special method 0", int32_t(0x80000000u), 0, KILL_FAILED, {}},
        {"special method 2 absent", int32_t(0x80000002u), 0, KILL_FAILED, {}},
    };
    for (const Case& c : cases) {
        unitLog.events.clear();
        EXPECT_EQ(kill(mz, 0x3AD6, c.method, c.parameter), c.expected) << c.name;
        EXPECT_EQ(unitLog.events, c.events) << c.name;
        if (!c.events.empty()) {
            EXPECT_EQ(unitLog.lastParam.method, uint32_t(c.method)) << c.name;
            EXPECT_EQ(unitLog.lastParam.methodParameter, c.parameter) << c.name;
        }
    }
}

TEST_F(KillEngineTest, MethodTwoAndAboveFailBeforeTheFormatIsRead) {
    files_.push_back(host::FileObject::fromBytes({1, 2, 3}));  // its format cannot be read
    IUnknown* f = static_cast<IQEArchive*>(files_.back());
    EXPECT_EQ(kill(f, 0x3AD6, qe::KILL_BY_ID, 0), 0u) << "an unreadable format gives 0";
    EXPECT_EQ(kill(f, 0x3AD6, 2, 1), KILL_FAILED);
    EXPECT_EQ(kill(f, 0x3AD6, 0x7FFFFFFF, 1), KILL_FAILED);
    EXPECT_EQ(unitLog.created, 0);
}

TEST_F(KillEngineTest, FormatsWithoutAKillSlotFailForEveryMethod) {
    for (uint32_t format : {qe::FORMAT_SWF, qe::FORMAT_SWF_COMPRESSED, qe::FORMAT_JPEG, 1u, qe::FORMAT_UNKNOWN}) {
        IUnknown* f = file({1}, format);
        EXPECT_EQ(kill(f, 0x1, qe::KILL_BY_ID, 0), KILL_FAILED) << format;
        EXPECT_EQ(kill(f, 0, qe::KILL_BY_METHOD, 1), KILL_FAILED) << format;
        EXPECT_EQ(kill(f, 0, int32_t(0x80000001u), 0), KILL_FAILED) << format;
    }
    EXPECT_EQ(unitLog.created, 0);
}

TEST_F(KillEngineTest, SlotWithoutATableFails) {
    EXPECT_EQ(kill(file({1}, qe::FORMAT_VBS), 0x1, qe::KILL_BY_ID, 0), KILL_FAILED);
    EXPECT_EQ(kill(file({1}, qe::FORMAT_FILE), 0x1, qe::KILL_BY_ID, 0), KILL_REPAIRED);
}

TEST_F(KillEngineTest, PeByIdentifierNeedsParsedHeaders) {
    IUnknown* pe = file(smallPe(), qe::FORMAT_PE);
    auto exec = host::Emulator::create(files_.back());
    EXPECT_EQ(kill(pe, 0x10, qe::KILL_BY_ID, 0, exec.get()), KILL_REPAIRED);
    EXPECT_EQ(unitLog.lastSectionCount, 1u);

    resetUnits();
    for (UnitScript& s : unitLog.scripts) s.kill = KILL_REPAIRED;
    EXPECT_EQ(kill(pe, 0x10, qe::KILL_BY_ID, 0, nullptr), KILL_FAILED) << "no emulator";
    IUnknown* broken = file({'M', 'Z', 1, 2, 3}, qe::FORMAT_PE);
    auto brokenExec = host::Emulator::create(files_.back());
    EXPECT_EQ(kill(broken, 0x10, qe::KILL_BY_ID, 0, brokenExec.get()), KILL_FAILED);
    EXPECT_EQ(unitLog.created, 0);

    // Method-number and special-method units run without the headers.
    EXPECT_EQ(kill(broken, 0, qe::KILL_BY_METHOD, 1, brokenExec.get()), KILL_REPAIRED);
    EXPECT_EQ(unitLog.lastParam.peHeaders, nullptr);
    EXPECT_EQ(kill(pe, 0, int32_t(0x80000003u), 0x77, nullptr), KILL_REPAIRED);
    EXPECT_EQ(unitLog.lastParam.peHeaders, nullptr);
}

TEST_F(KillEngineTest, UnusableFileObjectsFail) {
    PlainUnknown noArchive;
    STScanExRequest request{0, 0x3AD6, qe::KILL_BY_ID, 0, nullptr};
    EXPECT_EQ(engine_->Kill(nullptr, &request), KILL_FAILED);
    EXPECT_EQ(engine_->Kill(&noArchive, &request), KILL_FAILED);
    EXPECT_EQ(noArchive.refs, 0);
}

TEST_F(KillEngineTest, FailedUnitCreationFails) {
    const UnitTableEntry methods[] = {{1, &createNothing, "nothing", "Test.Nothing"}, kEnd};
    const KillTables tables = {kBySlot, methods, kSpecial};
    CQEEngineKillEx engine(tables);
    host::FileObject* f = makeFile({1}, qe::FORMAT_FILE);
    STScanExRequest request{0, 0, qe::KILL_BY_METHOD, 1, nullptr};
    EXPECT_EQ(engine.Kill(static_cast<IQEArchive*>(f), &request), KILL_FAILED);
    f->Release();
}

}  // namespace
