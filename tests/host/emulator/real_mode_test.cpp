// COM and MZ programs under the emulator: loaders, stepping, limits, faults, DOS services.
#include <gtest/gtest.h>

#include "tests/host/emulator/emulator_support.h"

using namespace emutest;
using host::Emulator;
namespace emu = host::emu;

namespace {

uint16_t readWord(IExecExport& x, uint32_t address) {
    uint8_t b[2] = {};
    EXPECT_EQ(x.ReadMemory(address, b, 2), 1u);
    return uint16_t(b[0] | b[1] << 8);
}

TEST(ComLoader, LoadStateFollowsDos) {
    Loaded l(asmProgram("com_registers"));
    IExecExport& x = l.x();
    EXPECT_EQ(x.GetIP(), 0x100u);
    for (uint32_t seg = 0; seg < 4; ++seg) EXPECT_EQ(x.GetSegment(seg), kPsp) << seg;
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_ESP), 0xFFFEu);
    EXPECT_EQ(readWord(x, kPsp * 16 + 0xFFFE), 0u);       // a RET reaches PSP:0
    EXPECT_EQ(readWord(x, kPsp * 16), 0x20CDu);            // INT 20h at PSP:0
    uint32_t entry = 0, second = 0;
    ASSERT_EQ(x.GetImageAddress(0, 0, &entry, &second, 0), 1u);
    EXPECT_EQ(entry, kComEntry);
    EXPECT_EQ(second, kComEntry);
    EXPECT_EQ(x.GetImageBase(), kComEntry);
    uint32_t offset = 0;
    ASSERT_EQ(x.AddressToFileOffset(kComEntry + 5, &offset), 1u);
    EXPECT_EQ(offset, 5u);
    EXPECT_EQ(x.AddressToFileOffset(kComEntry + uint32_t(l.bytes().size()), &offset), 0u);
    EXPECT_EQ(x.AddressToFileOffset(kComEntry - 1, &offset), 0u);
    fixtures::Bytes image(l.bytes().size());
    ASSERT_EQ(x.ReadMemory(kComEntry, image.data(), uint32_t(image.size())), 1u);
    EXPECT_EQ(image, l.bytes());
}

TEST(ComLoader, StepsThroughRegistersAndEnds) {
    Loaded l(asmProgram("com_registers"));
    IExecExport& x = l.x();
    ASSERT_EQ(x.Step(5), 1u);
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_EAX) & 0xFFFF, 0x1234u);
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_ECX) & 0xFFFF, 0x1235u);
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_ESP), 0xFFFEu);
    EXPECT_EQ(x.GetStopStatus(), emu::STATUS_NONE);
    ASSERT_EQ(x.Step(2), 1u);
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_EDX) & 0xFFFF, 0xBEEFu);
    // Two more asked, one left before the program ends.
    EXPECT_EQ(x.Step(2), 0u);
    EXPECT_EQ(x.GetStopStatus(), emu::STATUS_ENDED);
}

struct LimitCase {
    const char* name;
    uint32_t limit;
    uint32_t steps;
    uint32_t expectedResult;
    uint32_t expectedStatus;
};

class StepLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(StepLimit, BoundsEveryRun) {
    const LimitCase& c = GetParam();
    Loaded l(asmProgram("com_forever"));
    IExecExport& x = l.x();
    if (c.limit) x.SetStepLimit(c.limit);
    EXPECT_EQ(x.Step(c.steps), c.expectedResult);
    EXPECT_EQ(x.GetStopStatus(), c.expectedStatus);
}

INSTANTIATE_TEST_SUITE_P(Cases, StepLimit,
                         ::testing::Values(LimitCase{"within", 100, 100, 1, emu::STATUS_NONE},
                                           LimitCase{"past", 100, 101, 0, emu::STATUS_STEP_LIMIT},
                                           LimitCase{"zero", 0, 0, 1, emu::STATUS_NONE},
                                           LimitCase{"default", 0, Emulator::kDefaultStepLimit + 1, 0,
                                                     emu::STATUS_STEP_LIMIT}),
                         [](const auto& info) { return std::string(info.param.name); });

// The watchdog bounds what steps do not: outside any engine request it counts the CPU time of the
// emulator's own life; once spent it ends a run under way, and every later run answers at once,
// also for a tracer that steps one instruction at a time; Restart does not renew it.
TEST(RunTimeBudget, EndsRunsOnceSpentForTheEmulatorsLife) {
    Loaded l(asmProgram("com_forever"));
    IExecExport& x = l.x();
    l.emu->setCpuBudget(std::chrono::milliseconds(30));
    x.SetStepLimit(0xFFFFFFFFu);
    EXPECT_EQ(x.Step(0xFFFFFFFFu), 0u);
    EXPECT_EQ(x.GetStopStatus(), emu::STATUS_STEP_LIMIT);
    uint32_t info[5] = {};
    x.GetStopInfo(info);
    EXPECT_GT(info[4], 0u) << "the run executed instructions before the budget ended it";
    ASSERT_EQ(x.Restart(), 1u);
    EXPECT_EQ(x.Step(1), 0u);
    EXPECT_EQ(x.GetStopStatus(), emu::STATUS_STEP_LIMIT);

    Loaded stepped(asmProgram("com_forever"));
    stepped.emu->setCpuBudget(std::chrono::milliseconds(30));
    stepped.x().SetStepLimit(0xFFFFFFFFu);
    constexpr uint64_t kCap = 200'000'000;  // far more steps than 30 ms hold
    uint64_t steps = 0;
    while (steps < kCap && stepped.x().Step(1) == 1) ++steps;
    EXPECT_GT(steps, 0u);
    EXPECT_LT(steps, kCap) << "Step kept answering 1 after the budget was spent";
    EXPECT_EQ(stepped.x().GetStopStatus(), emu::STATUS_STEP_LIMIT);
}

TEST(StepLimit, IsSharedByLaterRunsAndResetByRestart) {
    Loaded l(asmProgram("com_forever"));
    IExecExport& x = l.x();
    x.SetStepLimit(10);
    EXPECT_EQ(x.Step(6), 1u);
    EXPECT_EQ(x.Step(6), 0u);
    EXPECT_EQ(x.GetStopStatus(), emu::STATUS_STEP_LIMIT);
    EXPECT_EQ(x.RunWhile([](const void*) { return 1; }, nullptr), 0u);  // never ends by itself
    EXPECT_EQ(x.GetStopStatus(), emu::STATUS_STEP_LIMIT);
    ASSERT_EQ(x.Restart(), 1u);
    EXPECT_EQ(x.GetIP(), 0x100u);
    EXPECT_EQ(x.Step(1000), 1u);
}

TEST(Faults, EndTheRunWithAStatus) {
    {
        Loaded l(asmProgram("com_faults"));
        IExecExport& x = l.x();
        EXPECT_EQ(x.Step(100), 0u);
        EXPECT_EQ(x.GetStopStatus(), emu::STATUS_FAULT);
        EXPECT_EQ(x.GetIP(), 0x10Cu);  // on the DIV
        EXPECT_EQ(x.Step(1), 0u);      // and it stays a fault
        EXPECT_EQ(x.GetStopStatus(), emu::STATUS_FAULT);
    }
    {
        Loaded l(asmProgram("com_faults"));
        IExecExport& x = l.x();
        const uint8_t one = 1;
        ASSERT_EQ(x.WriteMemory(kPsp * 16 + 0x80, &one, 1), 1u);
        EXPECT_EQ(x.Step(100), 0u);
        EXPECT_EQ(x.GetStopStatus(), emu::STATUS_FAULT);
        EXPECT_EQ(x.GetIP(), 0x110u);  // on the UD2
    }
}

TEST(DosServices, AnswerAsDos) {
    Loaded l(asmProgram("com_dos"));
    IExecExport& x = l.x();
    EXPECT_EQ(x.Step(1000), 0u);
    ASSERT_EQ(x.GetStopStatus(), emu::STATUS_ENDED);
    const uint32_t base = kComEntry - 0x100;
    const fixtures::Bytes file(l.bytes().begin(), l.bytes().end());
    // The data words sit at the end of the program: version, vector, dtaSeen, dta.
    const uint32_t dtaOffset = uint32_t(file.size()) - 43;
    const uint32_t versionAt = dtaOffset - 8;
    EXPECT_EQ(readWord(x, kComEntry + versionAt), 0x0005u);
    const uint16_t handler = readWord(x, kComEntry + versionAt + 2);
    EXPECT_EQ(readWord(x, kComEntry + versionAt + 4), kPsp);
    EXPECT_EQ(readWord(x, 0x60 * 4), handler);
    EXPECT_EQ(readWord(x, 0x60 * 4 + 2), kPsp);
    EXPECT_EQ(readWord(x, kComEntry + versionAt + 6), 0x100u + dtaOffset);
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_ECX) & 0xFFFF, 0xFFFFu);  // find-first failed
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_EBX) & 0xFFFF, kPsp);
    (void)base;
}

TEST(MzLoader, AppliesRelocationsAndHeaderRegisters) {
    Loaded l(asmProgram("mz_reloc"));
    IExecExport& x = l.x();
    const uint32_t loadSegment = kPsp + 0x10;
    EXPECT_EQ(x.GetSegment(qe::EXEC_SEG_CS), loadSegment);
    EXPECT_EQ(x.GetSegment(qe::EXEC_SEG_SS), loadSegment + 0x20);
    EXPECT_EQ(x.GetSegment(qe::EXEC_SEG_DS), kPsp);
    EXPECT_EQ(x.GetSegment(qe::EXEC_SEG_ES), kPsp);
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_ESP), 0x100u);
    EXPECT_EQ(x.GetIP(), 0u);
    uint32_t entry = 0;
    ASSERT_EQ(x.GetImageAddress(0, 0, &entry, nullptr, 0), 1u);
    EXPECT_EQ(entry, loadSegment * 16);
    EXPECT_EQ(x.GetImageBase(), loadSegment * 16);
    uint32_t offset = 0;
    ASSERT_EQ(x.AddressToFileOffset(entry, &offset), 1u);
    EXPECT_EQ(offset, 32u);
    ASSERT_EQ(x.Step(3), 1u);
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_EAX) & 0xFFFF, loadSegment + 1);
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_EBX) & 0xFFFF, 0xCAFEu);
    // Written back, the image keeps the file's unrelocated word.
    const fixtures::Bytes before(l.bytes().begin(), l.bytes().end());
    ASSERT_EQ(x.CommitImage(), 1u);
    EXPECT_EQ(l.bytes(), before);
}

TEST(MzLoader, HostileHeaders) {
    fixtures::Bytes mz = asmProgram("mz_reloc");
    {
        fixtures::Bytes claimsMore = mz;
        fixtures::put16(claimsMore, 4, 0x7FFF);  // pages far beyond the file
        Loaded l(claimsMore);
        uint32_t entry = 0;
        EXPECT_EQ(l.x().GetImageAddress(0, 0, &entry, nullptr, 0), 1u);
        EXPECT_EQ(l.x().Step(3), 1u);
        EXPECT_EQ(l.x().GetRegister(qe::EXEC_REG_EBX) & 0xFFFF, 0xCAFEu);
    }
    {
        fixtures::Bytes headerBeyond = mz;
        fixtures::put16(headerBeyond, 8, 0x4000);  // header paragraphs past the end
        Loaded l(headerBeyond);
        EXPECT_EQ(l.x().GetIP(), 0xFFFFFFFFu);
        EXPECT_EQ(l.x().GetImageBase(), 0u);
        EXPECT_EQ(l.x().Step(1), 0u);
        EXPECT_EQ(l.x().Restart(), 0u);
        EXPECT_EQ(l.x().GetFileSize(), headerBeyond.size());  // file operations still work
    }
    {
        fixtures::Bytes relocsOutside = mz;
        fixtures::put16(relocsOutside, 6, 0xFFFF);  // relocation count far past the file
        Loaded l(relocsOutside);
        EXPECT_EQ(l.x().Step(3), 1u);
    }
}

TEST(SelfModifyingCode, RunsTheWrittenBytes) {
    Loaded l(asmProgram("com_self_modify"));
    ASSERT_EQ(l.x().Step(2), 1u);
    EXPECT_EQ(l.x().GetRegister(qe::EXEC_REG_EAX) & 0xFF, 0x77u);
}

TEST(SelfModifyingCode, HostWritesReachTranslatedCode) {
    Loaded l(asmProgram("com_forever"));
    IExecExport& x = l.x();
    ASSERT_EQ(x.Step(50), 1u);  // the loop is translated by now
    const uint8_t exitCode[2] = {0xCD, 0x20};
    ASSERT_EQ(x.WriteMemory(kComEntry + 1, exitCode, 2), 1u);
    EXPECT_EQ(x.Step(10), 0u);
    EXPECT_EQ(x.GetStopStatus(), emu::STATUS_ENDED);
}

}  // namespace

namespace {

TEST(DosServices, ProgramHandlersGetTheirInterrupts) {
    Loaded l(asmProgram("com_vectors"));
    IExecExport& x = l.x();
    EXPECT_EQ(x.Step(1000), 0u);
    ASSERT_EQ(x.GetStopStatus(), host::emu::STATUS_ENDED);
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_EDI) & 0xFFFF, 0x5555u);
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_ESI) & 0xFFFF, 0xAAAAu);
    const uint32_t end = kComEntry + uint32_t(l.bytes().size());
    uint8_t words[4] = {};
    ASSERT_EQ(x.ReadMemory(end - 4, words, 4), 1u);
    EXPECT_EQ(words[0] | words[1] << 8, 2);        // calls through the hooked INT 21h
    EXPECT_EQ(words[2] | words[3] << 8, 0x0005);   // the version still came from the host
    // Every frame popped but the last INT 21h's: the program ended inside the chain.
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_ESP), 0xFFFEu - 6);
}

TEST(DosServices, InterruptNoticeStopsInTheProgramsHandler) {
    Loaded l(asmProgram("com_vectors"));
    IExecExport& x = l.x();
    const uint32_t record[4] = {host::emu::STOP_INTERRUPT_OR_FAR, 0, 3, 0};
    ASSERT_EQ(x.SetStopCondition(record), 1u);
    EXPECT_EQ(x.Step(100), 0u);
    EXPECT_EQ(x.GetStopStatus(), host::emu::STATUS_INTERRUPT);
    uint8_t code[3] = {};
    ASSERT_EQ(x.ReadMemory(x.GetSegment(qe::EXEC_SEG_CS) * 16 + x.GetIP(), code, 3), 1u);
    EXPECT_EQ(code[0], 0xBF);  // mov di, 5555h: the handler's first instruction
    EXPECT_EQ(code[1], 0x55);
}

}  // namespace
