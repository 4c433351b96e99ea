// The instruction-length service in 16- and 32-bit code.
#include <gtest/gtest.h>

#include <vector>

#include "host/emulator/x86_assembler.h"
#include "sdk/identifiers.h"

namespace {

struct LengthCase {
    std::vector<uint8_t> code;
    uint32_t bits;
    uint32_t length;
};

TEST(X86Assembler, MeasuresInstructions) {
    IQEX86Assembler* service = nullptr;
    ASSERT_EQ(host::createX86Assembler(nullptr, qe::IID_IQEX86Assembler, reinterpret_cast<void**>(&service)), QE_OK);
    const LengthCase cases[] = {
        {{0x90}, 32, 1},
        {{0xE8, 0, 0, 0, 0}, 32, 5},                       // call rel32
        {{0xE8, 0, 0}, 16, 3},                             // call rel16
        {{0xEB, 0xFE}, 16, 2},                             // jmp short
        {{0xE9, 0, 0, 0, 0}, 32, 5},
        {{0xB8, 0x34, 0x12}, 16, 3},                       // mov ax, imm16
        {{0xB8, 0x78, 0x56, 0x34, 0x12}, 32, 5},           // mov eax, imm32
        {{0x66, 0xB8, 0x34, 0x12}, 32, 4},                 // operand-size prefix
        {{0x87, 0x6C, 0x24, 0x21}, 32, 4},                 // xchg [esp+21h], ebp
        {{0x81, 0x44, 0x24, 0x24, 1, 0, 0, 0}, 32, 8},     // add dword [esp+24h], imm32
        {{0xFF, 0x15, 0, 0x10, 0x40, 0}, 32, 6},           // call [abs32]
        {{0x0F, 0x6E, 0xC0}, 32, 3},                       // movd mm0, eax
        {{0xCD, 0x21}, 16, 2},
        {{0xE8, 0, 0}, 32, 0},                             // cut short
        {{0x0F, 0xFF}, 32, 0},                             // undefined
        {{0x90}, 64, 0},                                   // no such width here
    };
    for (const LengthCase& c : cases) {
        EXPECT_EQ(service->GetInstructionLength(c.code.data(), uint32_t(c.code.size()), c.bits), c.length)
            << int(c.code[0]) << " bits " << c.bits;
    }
    EXPECT_EQ(service->GetInstructionLength(nullptr, 4, 32), 0u);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(service->QueryInterface(qe::IID_IUnknown, reinterpret_cast<void**>(&unknown)), QE_OK);
    EXPECT_EQ(unknown->Release(), 1u);
    EXPECT_EQ(service->Release(), 0u);
    void* wrong = nullptr;
    EXPECT_EQ(host::createX86Assembler(nullptr, qe::IID_IQEVM, &wrong), QE_E_NOINTERFACE);
    EXPECT_EQ(wrong, nullptr);
}

}  // namespace
