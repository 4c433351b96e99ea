// Recognises the junk a polymorphic virus or protector puts in front of its real code (pairs
// of instructions that cancel out, pushes popped at once, moves of a register to itself, jumps
// over garbage bytes) and measures it, so that a caller can skip it and look again.
#pragma once

#include <cstdint>

#include "sdk/host_services.h"

// Looks at the start of `code`: *junkLength = the number of junk bytes there (0 when the start
// is no junk), result 0. QE_E_INVALIDARG for a null buffer or out parameter or fewer than 48
// bytes; QE_E_FAIL when `assembler` is null, does not answer IQEX86Assembler, or cannot measure
// an instruction.
QRESULT JunkCodeAnalysis(IUnknown* assembler, const uint8_t* code, uint32_t length, uint32_t* junkLength);

// 1 when the one instruction in code[0, length) changes exactly one general register other
// than ESP (flags aside) and nothing else - no memory, no stack, no control flow; *reg is that
// register (0 EAX ... 7 EDI). Register-operand forms only. 0 otherwise.
int IsInstOnlyModifReg(const uint8_t* code, uint32_t length, uint32_t* reg);
