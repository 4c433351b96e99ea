// PE32 programs under the emulator: loader, start-up environment, import stubs, faults,
// hostile headers, and the trace patterns of the Win32 cleaners.
#include <gtest/gtest.h>

#include "host/emulator/program_loader.h"
#include "tests/host/emulator/emulator_support.h"
#include "tests/fixtures/emulator_pe.h"
#include "tests/fixtures/pe_builder.h"

using namespace emutest;
using fixtures::Bytes;
namespace emu = host::emu;

namespace {

Bytes startProgram() {
    return fixtures::buildEmulatorPe({asmProgram("pe_start"), "KERNEL32.dll", {"GetVersion", "CreateFileA", "ExitProcess"}, {}});
}

Bytes decryptorProgram() {
    Bytes body = asmProgram("pe_body");
    for (uint8_t& b : body) b ^= 0xA5;
    return fixtures::buildEmulatorPe({asmProgram("pe_decryptor"), "KERNEL32.dll", {"ExitProcess"}, body});
}

uint32_t dwordAt(IExecExport& x, uint32_t address) {
    uint32_t v = 0;
    EXPECT_EQ(x.ReadMemory(address, &v, 4), 1u);
    return v;
}

TEST(PeLoader, MapsTheImageAndBindsImports) {
    Loaded l(startProgram());
    IExecExport& x = l.x();
    EXPECT_EQ(x.GetImageBase(), fixtures::kEmulatorImageBase);
    EXPECT_EQ(x.GetIP(), fixtures::kEmulatorCodeVa);
    uint32_t entry = 0;
    ASSERT_EQ(x.GetImageAddress(0, 0, &entry, nullptr, 0), 1u);
    EXPECT_EQ(entry, fixtures::kEmulatorCodeVa);
    EXPECT_EQ(dwordAt(x, fixtures::kEmulatorImageBase) & 0xFFFF, 0x5A4Du);
    for (uint32_t slot = 0; slot < 3; ++slot) {
        const uint32_t stub = dwordAt(x, fixtures::kEmulatorIatVa + 4 * slot);
        EXPECT_GE(stub, host::kStubBase);
        EXPECT_LT(stub, host::kStubBase + host::kMaxStubs * host::kStubSize);
    }
    uint32_t offset = 0;
    ASSERT_EQ(x.AddressToFileOffset(fixtures::kEmulatorImageBase + 0x40, &offset), 1u);
    EXPECT_EQ(offset, 0x40u);
    ASSERT_EQ(x.AddressToFileOffset(fixtures::kEmulatorCodeVa + 5, &offset), 1u);
    EXPECT_EQ(offset, fixtures::PeBuilder::kHeaderSize + 5);
    EXPECT_EQ(x.AddressToFileOffset(fixtures::kEmulatorCodeVa + 0xF00, &offset), 0u);  // beyond raw data
    EXPECT_EQ(x.AddressToFileOffset(0x10, &offset), 0u);
}

TEST(PeLoader, StartUpEnvironmentAndExitProcess) {
    Loaded l(startProgram());
    IExecExport& x = l.x();
    const uint32_t espAtEntry = x.GetRegister(qe::EXEC_REG_ESP);
    EXPECT_EQ(dwordAt(x, espAtEntry) >> 16, host::kStubBase >> 16);  // returns into the exit stub
    ASSERT_EQ(x.Step(6), 1u);  // through the GetVersion stub
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_EBX), 0x0A280105u);
    ASSERT_EQ(x.Step(4), 1u);
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_EAX), host::kTebAddress);
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_ECX), host::kPebAddress);
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_EDX), fixtures::kEmulatorImageBase);
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_ESI), espAtEntry);
    EXPECT_EQ(x.Step(100), 0u);
    EXPECT_EQ(x.GetStopStatus(), emu::STATUS_ENDED);
}

TEST(PeFaults, EveryKindEndsTheRunWithItsStatus) {
    const struct {
        uint32_t choice;
        uint32_t status;
        uint32_t ip;  // 0: not checked
    } cases[] = {
        {0, emu::STATUS_FAULT, 0},
        {1, emu::STATUS_FAULT, 0x10000000},
        {2, emu::STATUS_UNMODELLED_API, 0},
        {3, emu::STATUS_ENDED, 0},
        {4, emu::STATUS_FAULT, 0},
    };
    for (const auto& c : cases) {
        Loaded l(fixtures::buildEmulatorPe({asmProgram("pe_faults"), "KERNEL32.dll", {"ExitProcess", "CreateFileA"}, {}}));
        IExecExport& x = l.x();
        x.SetRegister(qe::EXEC_REG_EAX, c.choice);
        EXPECT_EQ(x.Step(1000), 0u) << c.choice;
        EXPECT_EQ(x.GetStopStatus(), c.status) << c.choice;
        if (c.ip) {
            EXPECT_EQ(x.GetIP(), c.ip) << c.choice;
        }
        uint8_t op[2] = {};
        if (c.choice == 0) {
            ASSERT_EQ(x.ReadMemory(x.GetIP(), op, 2), 1u);
            EXPECT_EQ(op[0], 0x8B) << "stands on the faulting MOV";
        }
        if (c.choice == 4) {
            ASSERT_EQ(x.ReadMemory(x.GetIP(), op, 2), 1u);
            EXPECT_EQ(op[0], 0x0F);
            EXPECT_EQ(op[1], 0x0B);
        }
    }
}

TEST(PeLoader, HostileHeaders) {
    const Bytes good = startProgram();
    const uint32_t pe = fixtures::peHeaderOffset(good);
    const uint32_t sections = fixtures::peSectionTableOffset(good);
    const struct {
        const char* name;
        uint32_t at;
        uint32_t value;
        bool loads;
    } cases[] = {
        {"size_of_image_4gb", pe + 24 + 56, 0xFFFFF000, true},
        {"section_raw_beyond_file", sections + 40 + 20, 0x7FFFFF00, true},
        {"section_raw_size_huge", sections + 16, 0xFFFFFFF0, true},
        {"section_rva_huge", sections + 40 + 12, 0xFFFFF000, true},
        {"image_base_on_the_stack", pe + 24 + 28, host::kStackBase, false},
        {"image_base_unaligned", pe + 24 + 28, 0x400010, false},
        {"image_base_top", pe + 24 + 28, 0xFFFF0000, true},
        {"image_past_4gb", pe + 24 + 28, 0xFFFFE000, false},
        {"import_directory_wild", pe + 24 + 104, 0x7FFFFFF0, true},
    };
    for (const auto& c : cases) {
        Bytes file = good;
        fixtures::put32(file, c.at, c.value);
        Loaded l(file);
        IExecExport& x = l.x();
        EXPECT_EQ(x.GetImageBase() != 0, c.loads) << c.name;
        if (c.loads) {
            x.Step(20);
            EXPECT_NE(x.GetIP(), 0xFFFFFFFFu) << c.name;
        } else {
            EXPECT_EQ(x.GetIP(), 0xFFFFFFFFu) << c.name;
            EXPECT_EQ(x.Step(1), 0u) << c.name;
        }
    }
}

TEST(PeTrace, ContainmentStopsAtTheImportCall) {
    Loaded l(startProgram());
    IExecExport& x = l.x();
    ASSERT_EQ(x.Restart(), 1u);
    x.SetStepLimit(60000000);
    const uint32_t record[4] = {emu::STOP_CONTAINMENT, 0, 0, 0};
    ASSERT_EQ(x.SetStopCondition(record), 1u);
    x.SetIP(fixtures::kEmulatorCodeVa);
    EXPECT_EQ(x.Step(1), 1u);  // the CALL itself lies in the image
    EXPECT_EQ(x.Step(1), 0u);  // the stub does not
    EXPECT_EQ(x.GetStopStatus(), emu::STATUS_CONTAINMENT);
    // The caller skips the call: back in the image, the trace goes on.
    x.SetIP(fixtures::kEmulatorCodeVa + 6);
    x.SetRegister(qe::EXEC_REG_ESP, x.GetRegister(qe::EXEC_REG_ESP) + 4);
    EXPECT_EQ(x.Step(3), 1u);
}

TEST(PeTrace, ContainmentKeepsADecryptorRunning) {
    Loaded l(decryptorProgram());
    IExecExport& x = l.x();
    const uint32_t record[4] = {emu::STOP_CONTAINMENT, 0, 0, 0};
    ASSERT_EQ(x.SetStopCondition(record), 1u);
    EXPECT_EQ(x.Step(200), 1u);  // decryptor, body, its loop: all in the image
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_EDI), 0xC0DEu);
}

TEST(PeTrace, BoundaryIsTheDecryptedBodyThenTheWormRunsOn) {
    Loaded l(decryptorProgram());
    IExecExport& x = l.x();
    uint32_t entry = 0, hop = 0;
    ASSERT_EQ(x.GetImageAddress(0, 1, &entry, &hop, 0), 1u);
    EXPECT_EQ(hop, fixtures::kEmulatorCodeVa + 2);
    ASSERT_EQ(x.ClearStopConditions(), 1u);
    ASSERT_EQ(x.RunTo(1, 0), 1u);
    uint32_t here = 0, offset = 0;
    ASSERT_EQ(x.GetImageAddress(1, 0, &here, &offset, 0), 1u);
    EXPECT_EQ(here, 0x403000u);
    const Bytes body = asmProgram("pe_body");
    Bytes seen(body.size());
    ASSERT_EQ(x.ReadMemory(here, seen.data(), uint32_t(seen.size())), 1u);
    EXPECT_EQ(seen, body);
    // A body that never ends runs every step it is given, up to the limit.
    EXPECT_EQ(x.Step(2097152), 1u);
    x.SetStepLimit(10);
    EXPECT_EQ(x.Step(20), 0u);
    EXPECT_EQ(x.GetStopStatus(), emu::STATUS_STEP_LIMIT);
}

TEST(PeTrace, CommitImageKeepsTheFilesImportTable) {
    Loaded l(decryptorProgram());
    IExecExport& x = l.x();
    const Bytes before(l.bytes().begin(), l.bytes().end());
    ASSERT_EQ(x.Step(60), 1u);  // decrypted
    ASSERT_EQ(x.CommitImage(), 1u);
    ASSERT_EQ(l.bytes().size(), before.size());
    const Bytes body = asmProgram("pe_body");
    uint32_t bodyOffset = 0;
    ASSERT_EQ(x.AddressToFileOffset(0x403000, &bodyOffset), 1u);
    EXPECT_TRUE(std::equal(body.begin(), body.end(), l.bytes().begin() + bodyOffset));
    uint32_t idata = 0;
    ASSERT_EQ(x.AddressToFileOffset(0x402000, &idata), 1u);
    EXPECT_TRUE(std::equal(before.begin() + idata, before.begin() + idata + 0x400, l.bytes().begin() + idata));
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + bodyOffset, l.bytes().begin()));
}

TEST(PeTrace, RunToCountFromTheLoadState) {
    Loaded l(decryptorProgram());
    IExecExport& x = l.x();
    ASSERT_EQ(x.RunTo(0, 3), 1u);
    EXPECT_EQ(x.GetIP(), fixtures::kEmulatorCodeVa + 2 + 5 + 5);
    ASSERT_EQ(x.Step(7), 1u);
    ASSERT_EQ(x.RunTo(0, 3), 1u);
    EXPECT_EQ(x.GetIP(), fixtures::kEmulatorCodeVa + 2 + 5 + 5);
}

TEST(PeMemory, PartialReadsCopyTheMappedPrefix) {
    Loaded l(startProgram());
    IExecExport& x = l.x();
    const uint32_t end = host::kStackBase + host::kStackSize;
    uint8_t buf[8];
    std::fill(std::begin(buf), std::end(buf), 0xEE);
    ASSERT_EQ(x.WriteMemory(end - 4, "\x01\x02\x03\x04", 4), 1u);
    EXPECT_EQ(x.ReadMemory(end - 4, buf, 8), 0u);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[3], 4);
    EXPECT_EQ(buf[4], 0xEE);
    EXPECT_EQ(x.ReadMemory(0xFFFFFFFC, buf, 8), 0u);
    EXPECT_EQ(x.WriteMemory(0x10, buf, 1), 0u);
}

TEST(PeMemory, WriteMemoryPatchesCodeBeforeTheNextStep) {
    Loaded l(decryptorProgram());
    IExecExport& x = l.x();
    ASSERT_EQ(x.Step(3), 1u);  // translated by now
    ASSERT_EQ(x.WriteMemory(x.GetIP(), "\x90\x90\x90", 3), 1u);  // the XOR becomes NOPs
    const uint32_t ip = x.GetIP();
    ASSERT_EQ(x.Step(1), 1u);
    EXPECT_EQ(x.GetIP(), ip + 1);
}

}  // namespace
