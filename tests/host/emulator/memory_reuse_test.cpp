// Each thread keeps warm memory for its next programs: a program must never see what the one
// before it left behind (memory, registers, flags, x87 state, hooked vectors, translated code
// at the same addresses).
#include <gtest/gtest.h>

#include "tests/host/emulator/emulator_support.h"
#include "tests/fixtures/emulator_pe.h"

using namespace emutest;
using fixtures::Bytes;

namespace {

Bytes pe(const char* name) { return fixtures::buildEmulatorPe({asmProgram(name), "KERNEL32.dll", {"ExitProcess"}, {}}); }

// Runs the dirty program, ends it (its memory goes back to the thread), then loads the fresh
// one at the same addresses.
void runDirty(const Bytes& bytes, uint32_t steps) {
    Loaded dirty(bytes);
    ASSERT_EQ(dirty.x().Step(steps), 1u);
}

TEST(MemoryReuse, APeSeesNothingOfThePeBeforeIt) {
    for (int round = 0; round < 3; ++round) {  // the warm memory serves each later round
        runDirty(pe("reuse_dirty_pe"), 8);
        Loaded fresh(pe("reuse_fresh_pe"));
        IExecExport& x = fresh.x();
        ASSERT_EQ(x.Step(9), 1u) << "round " << round;
        EXPECT_EQ(x.GetRegister(qe::EXEC_REG_EAX), 0u) << "stack word, round " << round;
        EXPECT_EQ(x.GetRegister(qe::EXEC_REG_EBX), 0u) << "image word, round " << round;
        EXPECT_EQ(x.GetRegister(qe::EXEC_REG_ECX) & 0x400u, 0u) << "direction flag, round " << round;
        EXPECT_EQ(x.GetRegister(qe::EXEC_REG_EDX), 0u) << "x87 stack, round " << round;
    }
}

TEST(MemoryReuse, AComSeesNothingOfTheComBeforeIt) {
    for (int round = 0; round < 3; ++round) {
        runDirty(asmProgram("reuse_dirty_com"), 5);
        Loaded fresh(asmProgram("reuse_fresh_com"));
        IExecExport& x = fresh.x();
        ASSERT_EQ(x.Step(5), 1u) << "round " << round;
        EXPECT_EQ(x.GetRegister(qe::EXEC_REG_EAX) & 0xFFFF, 0xF000u) << "INT 21h segment, round " << round;
        EXPECT_EQ(x.GetRegister(qe::EXEC_REG_EBX) & 0xFFFF, 0x21u * 8) << "INT 21h offset, round " << round;
        EXPECT_EQ(x.GetRegister(qe::EXEC_REG_ECX) & 0xFFFF, 0u) << "marked word, round " << round;
    }
}

// A real-mode and a protected-mode program in turn, in the same warm memory.
TEST(MemoryReuse, ModesTakeTurns) {
    for (int round = 0; round < 2; ++round) {
        runDirty(pe("reuse_dirty_pe"), 8);
        runDirty(asmProgram("reuse_dirty_com"), 5);
        Loaded com(asmProgram("reuse_fresh_com"));
        ASSERT_EQ(com.x().Step(5), 1u);
        EXPECT_EQ(com.x().GetRegister(qe::EXEC_REG_ECX) & 0xFFFF, 0u);
        Loaded program(pe("reuse_fresh_pe"));
        ASSERT_EQ(program.x().Step(9), 1u);
        EXPECT_EQ(program.x().GetRegister(qe::EXEC_REG_EBX), 0u);
    }
}

}  // namespace
