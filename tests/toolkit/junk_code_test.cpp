#include "module/toolkit/junk_code.h"

#include <gtest/gtest.h>

#include "tests/fixtures/bytes.h"
#include "tests/toolkit/counting_assembler.h"

namespace {

using fixtures::Bytes;
using toolkit_test::CountingAssembler;

constexpr size_t kSlot = 64;

// Bytes followed by int3 up to 64 bytes: the code after the junk.
Bytes padded(Bytes code) {
    code.resize(kSlot, 0xCC);
    return code;
}

QRESULT analyse(IUnknown* assembler, const Bytes& code, uint32_t* junk) {
    return JunkCodeAnalysis(assembler, code.data(), uint32_t(code.size()), junk);
}

TEST(JunkCodeAnalysis, FixedListEntriesNeedNoMeasuring) {
    const std::vector<Bytes> entries = {
        {0xEB, 0x01, 0xE8}, {0x70, 0x03, 0x71, 0x01, 0xEB}, {0x72, 0x03, 0x73, 0x01, 0xEB},
        {0x74, 0x03, 0x75, 0x01, 0xEB}, {0x76, 0x03, 0x77, 0x01, 0xEB}, {0x78, 0x03, 0x79, 0x01, 0xEB},
        {0x7A, 0x03, 0x7B, 0x01, 0xEB}, {0x7C, 0x03, 0x7D, 0x01, 0xEB}, {0x7E, 0x03, 0x7F, 0x01, 0xEB},
        {0x74, 0x02, 0x75, 0x00}, {0x7C, 0x03, 0xEB, 0x03, 0xEB, 0x74, 0xFB}, {0xEB, 0x00}, {0x90, 0x00},
        {0x60, 0x61}, {0x9C, 0x9D}, {0xF5, 0xF5, 0x00}, {0xD9, 0xD0}, {0x9B, 0xDB, 0xE3}, {0x9B, 0xDB, 0xE2},
        {0x0F, 0x00, 0xE0}, {0x0F, 0x00, 0xEB}, {0x50, 0x9B, 0xDF, 0xE0, 0x58},
        {0x7E, 0x06, 0x7F, 0x04, 0xE8, 0xEB, 0x07, 0xE9, 0x7A, 0xFB, 0x7B, 0xF9, 0xEB, 0xF7},
        {0x45, 0x38, 0x07, 0x00, 0x00, 0x00, 0x7C, 0x03, 0x7D, 0x01, 0xE8, 0xEB, 0x06, 0x72, 0x03, 0x73, 0x01, 0xE9},
    };
    ASSERT_EQ(entries.size(), 24u);
    for (size_t i = 0; i < entries.size(); ++i) {
        CountingAssembler lengths;
        uint32_t junk = 99;
        ASSERT_EQ(analyse(&lengths, padded(entries[i]), &junk), QE_OK) << "entry " << i;
        EXPECT_EQ(junk, entries[i].size()) << "entry " << i;
        EXPECT_EQ(lengths.calls, 0) << "entry " << i;
    }
    // An entry is compared over its full length, a trailing zero included.
    CountingAssembler lengths;
    uint32_t junk = 99;
    ASSERT_EQ(analyse(&lengths, padded({0x90, 0x01}), &junk), QE_OK);
    EXPECT_EQ(junk, 1u);  // a single NOP, measured
}

TEST(JunkCodeAnalysis, CatalogueFormsAndCompilerCode) {
    const Bytes snippets = fixtures::loadAsm("toolkit/junk_forms");
    // Expected junk length per 64-byte slot of junk_forms.asm.
    const uint32_t expected[] = {
        3, 2, 11, 8, 4, 2, 2, 12, 6, 6, 4, 4, 4, 4, 4, 4, 4, 7, 6, 6, 2, 10,  // junk forms
        0, 0, 0, 0, 0, 0, 0, 0, 0,                                              // compiler entry code
    };
    ASSERT_EQ(snippets.size(), sizeof expected / sizeof expected[0] * kSlot);
    for (size_t slot = 0; slot < sizeof expected / sizeof expected[0]; ++slot) {
        CountingAssembler lengths;
        const Bytes code(snippets.begin() + slot * kSlot, snippets.begin() + (slot + 1) * kSlot);
        uint32_t junk = 99;
        ASSERT_EQ(analyse(&lengths, code, &junk), QE_OK) << "slot " << slot;
        EXPECT_EQ(junk, expected[slot]) << "slot " << slot;
    }
}

TEST(JunkCodeAnalysis, BadArguments) {
    CountingAssembler lengths;
    uint32_t junk = 99;
    const Bytes nops47(47, 0x90), nops48(48, 0x90);
    EXPECT_EQ(analyse(&lengths, nops47, &junk), QE_E_INVALIDARG);
    Bytes pushadPopad47(47, 0xCC);
    pushadPopad47[0] = 0x60, pushadPopad47[1] = 0x61;
    EXPECT_EQ(analyse(&lengths, pushadPopad47, &junk), QE_E_INVALIDARG);
    EXPECT_EQ(JunkCodeAnalysis(&lengths, nullptr, 64, &junk), QE_E_INVALIDARG);
    EXPECT_EQ(analyse(&lengths, nops48, nullptr), QE_E_INVALIDARG);
    EXPECT_EQ(analyse(nullptr, nops48, &junk), QE_E_FAIL);
    struct NotAnAssembler : IUnknown {
        QRESULT QueryInterface(const GUID&, void**) override { return QE_E_NOINTERFACE; }
        uint32_t AddRef() override { return 1; }
        uint32_t Release() override { return 1; }
    } other;
    EXPECT_EQ(analyse(&other, nops48, &junk), QE_E_FAIL);
    lengths.failAll = true;
    EXPECT_EQ(analyse(&lengths, padded({0x55, 0x8B, 0xEC}), &junk), QE_E_FAIL);
    // A fixed-list entry is answered even when nothing could be measured.
    ASSERT_EQ(analyse(&lengths, padded({0x60, 0x61}), &junk), QE_OK);
    EXPECT_EQ(junk, 2u);
    // A buffer of NOPs only: every measured instruction is junk.
    lengths.failAll = false;
    ASSERT_EQ(analyse(&lengths, nops48, &junk), QE_OK);
    EXPECT_EQ(junk, 8u);
}

TEST(IsInstOnlyModifReg, RegisterOnlyInstructions) {
    struct Case {
        Bytes code;
        int result;
        uint32_t reg;
    };
    const Case cases[] = {
        {{0x40}, 1, 0},                          // INC EAX
        {{0x4F}, 1, 7},                          // DEC EDI
        {{0xBB, 1, 2, 3, 4}, 1, 3},              // MOV EBX, imm32
        {{0x8B, 0xC1}, 1, 0},                    // MOV EAX, ECX
        {{0x89, 0xC1}, 1, 1},                    // MOV ECX, EAX
        {{0x33, 0xD2}, 1, 2},                    // XOR EDX, EDX
        {{0x81, 0xC6, 1, 0, 0, 0}, 1, 6},        // ADD ESI, 1
        {{0x83, 0xE8, 5}, 1, 0},                 // SUB EAX, 5
        {{0xC1, 0xE3, 2}, 1, 3},                 // SHL EBX, 2
        {{0xD3, 0xC2}, 1, 2},                    // ROL EDX, CL
        {{0xF7, 0xD5}, 1, 5},                    // NOT EBP
        {{0x0F, 0xC9}, 1, 1},                    // BSWAP ECX
        {{0x0F, 0xB6, 0xC1}, 1, 0},              // MOVZX EAX, CL
        {{0x35, 1, 0, 0, 0}, 1, 0},              // XOR EAX, imm32
        {{0x3D, 1, 0, 0, 0}, 0, 0},              // CMP EAX, imm32 changes no register
        {{0x81, 0xF8, 1, 0, 0, 0}, 0, 0},        // CMP EAX, imm32 (group form)
        {{0x83, 0xC4, 4}, 0, 0},                 // ADD ESP, 4 moves the stack
        {{0x8B, 0xE5}, 0, 0},                    // MOV ESP, EBP
        {{0x8B, 0x45, 0x08}, 0, 0},              // MOV EAX, [EBP+8]: memory operand
        {{0x89, 0x45, 0x08}, 0, 0},              // MOV [EBP+8], EAX writes memory
        {{0x50}, 0, 0},                          // PUSH EAX
        {{0x90}, 0, 0},                          // NOP changes nothing
        {{0xF7, 0xC0, 1, 0, 0, 0}, 0, 0},        // TEST EAX, imm32
        {{0x87, 0xCA}, 0, 0},                    // XCHG changes two registers
        {{0x40}, 1, 0},
    };
    for (const Case& c : cases) {
        uint32_t reg = 99;
        EXPECT_EQ(IsInstOnlyModifReg(c.code.data(), uint32_t(c.code.size()), &reg), c.result)
            << std::hex << int(c.code[0]) << " " << (c.code.size() > 1 ? int(c.code[1]) : 0);
        if (c.result) {
            EXPECT_EQ(reg, c.reg) << std::hex << int(c.code[0]);
        }
    }
    uint32_t reg = 0;
    const uint8_t inc = 0x40;
    EXPECT_EQ(IsInstOnlyModifReg(&inc, 2, &reg), 0);  // the length must be the instruction's
    EXPECT_EQ(IsInstOnlyModifReg(nullptr, 1, &reg), 0);
}

}  // namespace
