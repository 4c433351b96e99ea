// The Unicorn engine opens only when code runs: a program that is only looked at costs no
// engine, and the engine, once open, holds exactly the machine that was looked at.
#include <gtest/gtest.h>

#include <unicorn/unicorn.h>

#include "host/emulator/program_loader.h"
#include "tests/emulator/emulator_support.h"
#include "tests/fixtures/emulator_pe.h"

using namespace emutest;
using fixtures::Bytes;

namespace {

struct ProgramCase {
    const char* name;
    Bytes (*build)();
};

Bytes comProgram() { return asmProgram("com_registers"); }
Bytes mzProgram() { return asmProgram("mz_reloc"); }
Bytes peProgram() { return fixtures::buildEmulatorPe({asmProgram("pe_start"), "KERNEL32.dll", {"ExitProcess"}, {}}); }

const ProgramCase kPrograms[] = {{"com", comProgram}, {"mz", mzProgram}, {"pe", peProgram}};

class LazyEngine : public testing::TestWithParam<ProgramCase> {};

TEST_P(LazyEngine, LookingAtAProgramOpensNoEngine) {
    Loaded l(GetParam().build());
    IExecExport& x = l.x();
    const uint64_t before = host::X86Cpu::enginesOpenedOnThisThread();
    uint32_t entry = 0, offset = 0;
    ASSERT_EQ(x.GetEntryAddress(0, &entry), 1u);
    EXPECT_NE(x.GetImageBase(), 0xFFFFFFFFu);
    uint8_t code[16];
    EXPECT_EQ(x.ReadMemory(entry, code, sizeof code), 1u);
    EXPECT_EQ(x.WriteMemory(entry, code, sizeof code), 1u);
    (void)x.AddressToFileOffset(entry, &offset);
    for (uint32_t r = 0; r < 8; ++r) (void)x.GetRegister(r);
    for (uint32_t s = 0; s < 6; ++s) (void)x.GetSegment(s);
    (void)x.GetIP();
    (void)x.GetFlags();
    x.SetRegister(qe::EXEC_REG_EAX, 7);
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_EAX), 7u);
    EXPECT_EQ(host::X86Cpu::enginesOpenedOnThisThread(), before);

    ASSERT_EQ(x.Step(1), 1u);
    EXPECT_EQ(host::X86Cpu::enginesOpenedOnThisThread(), before + 1);
}

// The loader's register writes are recorded and replayed into the engine; every value read
// before it opens must be the engine's own afterwards.
TEST_P(LazyEngine, RecordedRegistersAreTheEnginesOwn) {
    const Bytes bytes = GetParam().build();
    host::LoadedProgram program;
    std::unique_ptr<host::X86Cpu> cpu = host::loadProgram(bytes, &program);
    ASSERT_TRUE(cpu);
    ASSERT_FALSE(cpu->engineStarted());
    const int registers[] = {UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_ESP,
                             UC_X86_REG_EBP, UC_X86_REG_ESI, UC_X86_REG_EDI, UC_X86_REG_EFLAGS, UC_X86_REG_CS,
                             UC_X86_REG_DS,  UC_X86_REG_ES,  UC_X86_REG_SS,  UC_X86_REG_FS,  UC_X86_REG_GS,
                             cpu->realMode() ? UC_X86_REG_IP : UC_X86_REG_EIP};
    uint32_t recorded[std::size(registers)];
    for (size_t i = 0; i < std::size(registers); ++i) recorded[i] = cpu->reg(registers[i]);
    const uint64_t linear = cpu->linearIp();
    ASSERT_FALSE(cpu->engineStarted()) << "a register the loader sets opened the engine";

    ASSERT_TRUE(cpu->startEngine());
    for (size_t i = 0; i < std::size(registers); ++i) EXPECT_EQ(cpu->reg(registers[i]), recorded[i]) << "register " << i;
    EXPECT_EQ(cpu->linearIp(), linear);
    EXPECT_EQ(linear, program.entry);
}

INSTANTIATE_TEST_SUITE_P(Programs, LazyEngine, testing::ValuesIn(kPrograms),
                         [](const testing::TestParamInfo<ProgramCase>& info) { return info.param.name; });

// Memory the host writes before the engine opens is what the engine runs; memory written
// after it opened replaces translated code.
TEST(LazyEngineMemory, CodeWrittenBeforeAndAfterTheEngineOpensIsRun) {
    std::unique_ptr<host::X86Cpu> cpu = host::X86Cpu::open(host::CpuMode::Protected32);
    ASSERT_TRUE(cpu->map(0x10000, 0x1000));
    const uint8_t movEax1[] = {0xB8, 1, 0, 0, 0, 0xF4};  // mov eax, 1; hlt
    ASSERT_EQ(cpu->write(0x10000, movEax1, sizeof movEax1), sizeof movEax1);
    cpu->setReg(UC_X86_REG_EIP, 0x10000);
    struct : host::CpuObserver {
        bool beforeInstruction(uint64_t, uint32_t) override { return true; }
        bool onInterrupt(uint32_t, bool) override { return false; }
        void onWrite(uint64_t, uint32_t) override {}
    } observer;
    EXPECT_EQ(cpu->run(0x10000, &observer), host::CpuExit::Halted);
    EXPECT_EQ(cpu->reg(UC_X86_REG_EAX), 1u);

    const uint8_t movEax2[] = {0xB8, 2, 0, 0, 0, 0xF4};
    ASSERT_EQ(cpu->write(0x10000, movEax2, sizeof movEax2), sizeof movEax2);
    EXPECT_EQ(cpu->run(0x10000, &observer), host::CpuExit::Halted);
    EXPECT_EQ(cpu->reg(UC_X86_REG_EAX), 2u);

    // A region mapped while the engine is open is the engine's at once.
    ASSERT_TRUE(cpu->map(0x20000, 0x1000));
    ASSERT_EQ(cpu->write(0x20000, movEax1, sizeof movEax1), sizeof movEax1);
    EXPECT_EQ(cpu->run(0x20000, &observer), host::CpuExit::Halted);
    EXPECT_EQ(cpu->reg(UC_X86_REG_EAX), 1u);
}

TEST(LazyEngineMemory, RegionsMustNotOverlapOrLeaveTheAddressSpace) {
    std::unique_ptr<host::X86Cpu> cpu = host::X86Cpu::open(host::CpuMode::Protected32);
    ASSERT_TRUE(cpu->map(0x10000, 0x2000));
    EXPECT_FALSE(cpu->map(0x11000, 0x1000));
    EXPECT_FALSE(cpu->map(0xF000, 0x2000));
    EXPECT_FALSE(cpu->mapReused(0x11000, 0x1000));
    EXPECT_FALSE(cpu->map(0xFFFFF000, 0x2000));
    EXPECT_FALSE(cpu->map(0x30001, 0x1000));
    EXPECT_TRUE(cpu->map(0x12000, 0x1000));
    // Adjacent regions read as one run.
    EXPECT_EQ(cpu->mappedRun(0x10000, 0x10000), 0x3000u);
    uint8_t bytes[0x20] = {};
    EXPECT_EQ(cpu->read(0x12FF0, bytes, sizeof bytes), 0x10u);
    cpu->unmap(0x10000, 0x2000);
    EXPECT_FALSE(cpu->isMapped(0x10000));
    EXPECT_TRUE(cpu->isMapped(0x12000));
}

}  // namespace
