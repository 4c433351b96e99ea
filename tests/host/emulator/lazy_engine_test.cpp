// The Unicorn engine opens only when code runs, and image pages are filled when first touched:
// a program that is only looked at costs no engine and no copy of its image, and what it shows
// is exactly the machine a full load would have made.
#include <gtest/gtest.h>

#include <unicorn/unicorn.h>

#include "host/emulator/program_loader.h"
#include "tests/host/emulator/emulator_support.h"
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

// Zeros with the pieces over them in their order, clipped to the region, whichever page is
// touched first, whether the engine fills the rest or a read does, and whether the image lies
// in warm memory or, once the warm buffer is used up, in fresh pages.
TEST(LazyImage, PiecesAreCopiedInOrderOverZeros) {
    std::vector<uint8_t> a(0x1800, 0xAA), b(0x10, 0xBB), c(0x100, 0xCC);
    for (int variant = 0; variant < 4; ++variant) {
        const bool viaEngine = variant & 1, fresh = variant & 2;
        SCOPED_TRACE(fresh ? "fresh pages" : "warm memory");
        std::unique_ptr<host::X86Cpu> cpu = host::X86Cpu::open(host::CpuMode::Protected32);
        // Warm memory that an earlier machine of this thread left dirty.
        {
            std::unique_ptr<host::X86Cpu> dirty = host::X86Cpu::open(host::CpuMode::Protected32);
            ASSERT_TRUE(dirty->mapReused(0x10000, 0x3000));
            std::vector<uint8_t> junk(0x3000, 0x5A);
            ASSERT_EQ(dirty->write(0x10000, junk.data(), uint32_t(junk.size())), junk.size());
        }
        if (fresh) {
            ASSERT_TRUE(cpu->mapReused(0x1000000, host::X86Cpu::kMaxReusedBytes));
        }
        ASSERT_TRUE(cpu->mapImage(0x10000, 0x3000, {{0, a.data(), a.size()}, {0x1000, b.data(), b.size()},
                                                    {0x2FF0, c.data(), c.size()}, {0x4000, c.data(), c.size()}}));
        uint8_t probe = 0;
        ASSERT_EQ(cpu->read(0x12000, &probe, 1), 1u);  // the last page first
        EXPECT_EQ(probe, 0);
        if (viaEngine) {
            ASSERT_TRUE(cpu->startEngine());
        }
        std::vector<uint8_t> memory(0x3000);
        ASSERT_EQ(cpu->read(0x10000, memory.data(), uint32_t(memory.size())), memory.size());
        std::vector<uint8_t> expected(0x3000, 0);
        std::fill(expected.begin(), expected.begin() + 0x1800, 0xAA);
        std::fill(expected.begin() + 0x1000, expected.begin() + 0x1010, 0xBB);
        std::fill(expected.begin() + 0x2FF0, expected.end(), 0xCC);
        EXPECT_EQ(memory, expected) << (viaEngine ? "filled at the engine's start" : "filled by reads");
    }
}

// A program reaching into chunks of its image the engine does not have yet (a load, a jump, a
// store, a store straddling two chunks) gets them filled and runs on as if all were there.
TEST(LazyImage, ARunReachesEveryChunk) {
    const uint64_t base = 0x400000;
    std::vector<uint8_t> image(0x40000, 0);
    const auto put = [&](uint64_t at, std::initializer_list<uint8_t> bytes) {
        std::copy(bytes.begin(), bytes.end(), image.begin() + std::ptrdiff_t(at));
    };
    put(0x00000, {0xA1, 0x00, 0x00, 0x42, 0x00});        // mov eax, [0x420000]
    put(0x00005, {0xE9, 0x06, 0x00, 0x02, 0x00});        // jmp 0x420010
    put(0x20000, {0x78, 0x56, 0x34, 0x12});
    put(0x20010, {0xBB, 0x01, 0x00, 0x00, 0x00});        // mov ebx, 1
    put(0x20015, {0x89, 0x1D, 0x00, 0x01, 0x41, 0x00});  // mov [0x410100], ebx
    put(0x2001B, {0x89, 0x1D, 0xFE, 0xFF, 0x42, 0x00});  // mov [0x42FFFE], ebx
    put(0x20021, {0xF4});                                // hlt
    std::unique_ptr<host::X86Cpu> cpu = host::X86Cpu::open(host::CpuMode::Protected32);
    ASSERT_TRUE(cpu->mapImage(base, image.size(), {{0, image.data(), image.size()}}));
    cpu->setReg(UC_X86_REG_EIP, uint32_t(base));
    struct : host::CpuObserver {
        bool beforeInstruction(uint64_t, uint32_t) override { return true; }
        bool onInterrupt(uint32_t, bool) override { return false; }
        void onWrite(uint64_t, uint32_t) override {}
    } observer;
    ASSERT_EQ(cpu->run(base, &observer), host::CpuExit::Halted);
    EXPECT_EQ(cpu->reg(UC_X86_REG_EAX), 0x12345678u);
    uint32_t stored = 0;
    ASSERT_EQ(cpu->read(0x410100, &stored, 4), 4u);
    EXPECT_EQ(stored, 1u);
    ASSERT_EQ(cpu->read(0x42FFFE, &stored, 4), 4u);
    EXPECT_EQ(stored, 1u);
    // Memory past the image is still a fault, not something the hand-over invents.
    const uint8_t readPastEnd[] = {0xA1, 0x00, 0x00, 0x44, 0x00};  // mov eax, [0x440000]
    ASSERT_EQ(cpu->write(base, readPastEnd, sizeof readPastEnd), sizeof readPastEnd);
    EXPECT_EQ(cpu->run(base, &observer), host::CpuExit::Fault);
    cpu->unmap(base, image.size());
    EXPECT_FALSE(cpu->isMapped(base));
}

// Memory is the file as it was at load, also for the pages nobody had touched when the file
// changed: every way of changing the bytes makes the image take them first.
struct FileChange {
    const char* name;
    void (*change)(Loaded& l, uint32_t offset);
};

const uint8_t kNewBytes[4] = {0xDE, 0xAD, 0xBE, 0xEF};

const FileChange kFileChanges[] = {
    {"emulatorWrite", [](Loaded& l, uint32_t offset) { ASSERT_EQ(l.x().WriteFile(kNewBytes, offset, 4), 4u); }},
    {"streamWrite",
     [](Loaded& l, uint32_t offset) {
         IQEStream* stream = l.file;
         ASSERT_EQ(stream->Seek(offset, QE_SEEK_SET, nullptr), QE_OK);
         uint32_t done = 0;
         ASSERT_EQ(stream->Write(kNewBytes, 4, &done), QE_OK);
     }},
    // Cut to nothing and grown back: the same store now holds zeros where the entry was.
    {"streamTruncate",
     [](Loaded& l, uint32_t) {
         IQEStream* stream = l.file;
         const uint32_t size = uint32_t(l.bytes().size());
         ASSERT_EQ(stream->SetSize(0, 0), QE_OK);
         ASSERT_EQ(stream->SetSize(size, 0), QE_OK);
     }},
    {"otherEmulator",
     [](Loaded& l, uint32_t offset) {
         std::unique_ptr<host::Emulator> other = host::Emulator::create(l.file);
         ASSERT_EQ(other->FillFile(0, 0, offset + 4), 1u);
     }},
    {"hostRewrite",
     [](Loaded& l, uint32_t) {
         std::vector<uint8_t>& bytes = l.file->mutableBytes();
         std::fill(bytes.begin(), bytes.end(), uint8_t(0xEE));
     }},
};

class LazyImageSnapshot : public testing::TestWithParam<FileChange> {};

TEST_P(LazyImageSnapshot, ChangedFileLeavesUntouchedPagesAsLoaded) {
    Loaded l(peProgram());
    IExecExport& x = l.x();
    uint32_t entry = 0, offset = 0;
    ASSERT_EQ(x.GetEntryAddress(0, &entry), 1u);
    ASSERT_EQ(x.AddressToFileOffset(entry, &offset), 1u);
    const Bytes original(l.bytes().begin() + offset, l.bytes().begin() + offset + 16);
    GetParam().change(l, offset);
    uint8_t memory[16];
    ASSERT_EQ(x.ReadMemory(entry, memory, sizeof memory), 1u);
    EXPECT_EQ(Bytes(memory, memory + sizeof memory), original);
}

INSTANTIATE_TEST_SUITE_P(Changes, LazyImageSnapshot, testing::ValuesIn(kFileChanges),
                         [](const testing::TestParamInfo<FileChange>& info) { return info.param.name; });

}  // namespace
