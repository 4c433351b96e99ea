#include "module/toolkit/junk_code.h"

#include <cstring>

#include "module/toolkit/interface_ptr.h"
#include "sdk/identifiers.h"

using remedy::InterfacePtr;
using remedy::queryInterface;

namespace {

constexpr uint32_t kMinimumBuffer = 48;
constexpr uint32_t kMeasured = 8;
constexpr uint32_t kEsp = 4;

// Byte sequences recognised as they stand, each compared over its full length.
struct FixedJunk {
    uint16_t length;
    uint8_t bytes[18];
};
constexpr FixedJunk fixedJunkCodeList[] = {
    {3, {0xEB, 0x01, 0xE8}},
    {5, {0x70, 0x03, 0x71, 0x01, 0xEB}},
    {5, {0x72, 0x03, 0x73, 0x01, 0xEB}},
    {5, {0x74, 0x03, 0x75, 0x01, 0xEB}},
    {5, {0x76, 0x03, 0x77, 0x01, 0xEB}},
    {5, {0x78, 0x03, 0x79, 0x01, 0xEB}},
    {5, {0x7A, 0x03, 0x7B, 0x01, 0xEB}},
    {5, {0x7C, 0x03, 0x7D, 0x01, 0xEB}},
    {5, {0x7E, 0x03, 0x7F, 0x01, 0xEB}},
    {4, {0x74, 0x02, 0x75, 0x00}},
    {7, {0x7C, 0x03, 0xEB, 0x03, 0xEB, 0x74, 0xFB}},
    {2, {0xEB, 0x00}},
    {2, {0x90, 0x00}},
    {2, {0x60, 0x61}},
    {2, {0x9C, 0x9D}},
    {3, {0xF5, 0xF5, 0x00}},
    {2, {0xD9, 0xD0}},
    {3, {0x9B, 0xDB, 0xE3}},
    {3, {0x9B, 0xDB, 0xE2}},
    {3, {0x0F, 0x00, 0xE0}},
    {3, {0x0F, 0x00, 0xEB}},
    {5, {0x50, 0x9B, 0xDF, 0xE0, 0x58}},
    {14, {0x7E, 0x06, 0x7F, 0x04, 0xE8, 0xEB, 0x07, 0xE9, 0x7A, 0xFB, 0x7B, 0xF9, 0xEB, 0xF7}},
    {18, {0x45, 0x38, 0x07, 0x00, 0x00, 0x00, 0x7C, 0x03, 0x7D, 0x01, 0xE8, 0xEB, 0x06, 0x72, 0x03, 0x73, 0x01, 0xE9}},
};
static_assert(sizeof fixedJunkCodeList / sizeof fixedJunkCodeList[0] == 24);

// One measured instruction.
struct Inst {
    const uint8_t* bytes;
    uint32_t length;
};

// The first instructions of the buffer, as the assembler measured them.
struct Measured {
    Inst inst[kMeasured];
    uint32_t count;
    uint32_t lengthOf(uint32_t first, uint32_t last) const {  // bytes of inst[first..last]
        uint32_t n = 0;
        for (uint32_t i = first; i <= last; ++i) n += inst[i].length;
        return n;
    }
};

// ModR/M fields of a two-byte register-form instruction (mod == 3).
bool regForm(const Inst& i, uint8_t opcode, uint32_t length, uint32_t* reg, uint32_t* rm) {
    if (i.length != length || i.bytes[0] != opcode || (i.bytes[1] >> 6) != 3) return false;
    *reg = (i.bytes[1] >> 3) & 7;
    *rm = i.bytes[1] & 7;
    return true;
}

// A group-opcode instruction on a register (mod == 3) with operation `op` in the reg field.
bool groupForm(const Inst& i, uint8_t opcode, uint32_t length, uint32_t op, uint32_t* rm) {
    uint32_t reg = 0;
    return regForm(i, opcode, length, &reg, rm) && reg == op;
}

uint32_t push(const Inst& i) { return i.length == 1 && i.bytes[0] >= 0x50 && i.bytes[0] <= 0x57 ? i.bytes[0] - 0x50 : 8; }
uint32_t pop(const Inst& i) { return i.length == 1 && i.bytes[0] >= 0x58 && i.bytes[0] <= 0x5F ? i.bytes[0] - 0x58 : 8; }
bool conditionalJump(const Inst& i) { return i.length == 2 && i.bytes[0] >= 0x70 && i.bytes[0] <= 0x7F; }

// ---------------------------------------------------------------- the catalogue's forms
// Each answers the junk length at the start of the measured instructions, or 0.

// NOP, NOP, ...: all of them.
uint32_t nopRun(const Measured& m) {
    uint32_t k = 0;
    while (k < m.count && m.inst[k].length == 1 && m.inst[k].bytes[0] == 0x90) ++k;
    return k ? m.lengthOf(0, k - 1) : 0;
}

// PUSH r / POP r.
uint32_t pushPopSame(const Measured& m) {
    if (m.count < 2) return 0;
    const uint32_t r = push(m.inst[0]);
    return r < 8 && pop(m.inst[1]) == r ? 2 : 0;
}

// PUSH r / instructions that change only r / POP r: the register is saved and restored.
uint32_t savedRegisterWork(const Measured& m) {
    const uint32_t r = m.count >= 3 ? push(m.inst[0]) : 8;
    if (r >= 8) return 0;
    for (uint32_t k = 1; k < m.count; ++k) {
        if (pop(m.inst[k]) == r) return k >= 2 ? m.lengthOf(0, k) : 0;
        uint32_t changed = 8;
        if (!IsInstOnlyModifReg(m.inst[k].bytes, m.inst[k].length, &changed) || changed != r) return 0;
    }
    return 0;
}

// PUSH r, PUSH imm8 or PUSH imm32 / ADD ESP, 4: the push is dropped again.
uint32_t pushDropped(const Measured& m) {
    if (m.count < 2) return 0;
    const Inst& p = m.inst[0];
    const bool pushes = push(p) < 8 || (p.length == 5 && p.bytes[0] == 0x68) || (p.length == 2 && p.bytes[0] == 0x6A);
    const Inst& a = m.inst[1];
    const bool drops = a.length == 3 && a.bytes[0] == 0x83 && a.bytes[1] == 0xC4 && a.bytes[2] == 4;
    return pushes && drops ? p.length + 3 : 0;
}

// INC r / DEC r and DEC r / INC r.
uint32_t incDec(const Measured& m) {
    if (m.count < 2 || m.inst[0].length != 1 || m.inst[1].length != 1) return 0;
    const uint8_t a = m.inst[0].bytes[0], b = m.inst[1].bytes[0];
    if (a < 0x40 || a > 0x4F || b < 0x40 || b > 0x4F) return 0;
    return (a ^ b) == 0x08 ? 2 : 0;  // same register, one INC and one DEC
}

// MOV r, r. The hot-patch prologue MOV EDI, EDI / PUSH EBP / MOV EBP, ESP is compiler code.
uint32_t moveToItself(const Measured& m) {
    if (m.count < 1) return 0;
    uint32_t reg = 0, rm = 0;
    if (!regForm(m.inst[0], 0x8B, 2, &reg, &rm) && !regForm(m.inst[0], 0x89, 2, &reg, &rm)) return 0;
    if (reg != rm) return 0;
    uint32_t r2 = 0, m2 = 0;
    const bool movEbpEsp = m.count >= 3 && ((regForm(m.inst[2], 0x8B, 2, &r2, &m2) && r2 == 5 && m2 == 4) ||
                                            (regForm(m.inst[2], 0x89, 2, &r2, &m2) && r2 == 4 && m2 == 5));
    const bool hotPatch = movEbpEsp && m.inst[0].bytes[0] == 0x8B && m.inst[0].bytes[1] == 0xFF &&
                          m.inst[1].length == 1 && m.inst[1].bytes[0] == 0x55;
    return hotPatch ? 0 : 2;
}

// Two operations on one register where the second undoes the first.
struct InversePair {
    uint8_t opcode;
    uint32_t length;   // of each instruction
    uint32_t first;    // operation (ModR/M reg field) of the first instruction
    uint32_t second;   // of the second
};
constexpr InversePair inversePairs[] = {
    {0x81, 6, 0, 5}, {0x81, 6, 5, 0}, {0x81, 6, 6, 6},  // ADD/SUB, SUB/ADD, XOR/XOR imm32
    {0x83, 3, 0, 5}, {0x83, 3, 5, 0}, {0x83, 3, 6, 6},  // the same with imm8
    {0xC1, 3, 0, 1}, {0xC1, 3, 1, 0},                   // ROL/ROR, ROR/ROL by imm8
    {0xD3, 2, 0, 1}, {0xD3, 2, 1, 0},                   // ROL/ROR, ROR/ROL by CL
    {0xF7, 2, 2, 2}, {0xF7, 2, 3, 3},                   // NOT/NOT, NEG/NEG
};

uint32_t inverseImmediatePair(const Measured& m) {
    if (m.count < 2) return 0;
    const Inst& a = m.inst[0];
    const Inst& b = m.inst[1];
    for (const InversePair& p : inversePairs) {
        uint32_t ra = 0, rb = 0;
        if (!groupForm(a, p.opcode, p.length, p.first, &ra) || !groupForm(b, p.opcode, p.length, p.second, &rb))
            continue;
        if (ra != rb || ra == kEsp) continue;
        // Operands after the ModR/M byte (the immediate) must agree.
        if (std::memcmp(a.bytes + 2, b.bytes + 2, p.length - 2) != 0) continue;
        return a.length + b.length;
    }
    return 0;
}

// ADD / SUB / XOR EAX, imm32 in the accumulator's one-byte-opcode form, undone by the next.
uint32_t inverseAccumulatorPair(const Measured& m) {
    if (m.count < 2 || m.inst[0].length != 5 || m.inst[1].length != 5) return 0;
    const uint8_t a = m.inst[0].bytes[0], b = m.inst[1].bytes[0];
    const bool inverse = (a == 0x05 && b == 0x2D) || (a == 0x2D && b == 0x05) || (a == 0x35 && b == 0x35);
    return inverse && std::memcmp(m.inst[0].bytes + 1, m.inst[1].bytes + 1, 4) == 0 ? 10 : 0;
}

// A register-to-register ALU operation in either encoding: what it does, to which register,
// from which.
enum class AluKind { kNone, kAdd, kSub, kXor, kXchg };
struct AluRegReg {
    AluKind kind = AluKind::kNone;
    uint32_t dest = 0, source = 0;
};
AluRegReg aluRegReg(const Inst& i) {
    struct Encoding {
        uint8_t opcode;
        AluKind kind;
        bool destInReg;  // the ModR/M reg field is the destination (else the r/m field)
    };
    constexpr Encoding encodings[] = {
        {0x03, AluKind::kAdd, true}, {0x01, AluKind::kAdd, false}, {0x2B, AluKind::kSub, true},
        {0x29, AluKind::kSub, false}, {0x33, AluKind::kXor, true}, {0x31, AluKind::kXor, false},
        {0x87, AluKind::kXchg, true},
    };
    uint32_t reg = 0, rm = 0;
    for (const Encoding& e : encodings)
        if (regForm(i, e.opcode, 2, &reg, &rm)) return {e.kind, e.destInReg ? reg : rm, e.destInReg ? rm : reg};
    // XCHG EAX, r has a one-byte form.
    if (i.length == 1 && i.bytes[0] >= 0x91 && i.bytes[0] <= 0x97) return {AluKind::kXchg, 0, uint32_t(i.bytes[0] - 0x90)};
    return {};
}

// ADD r, r2 / SUB r, r2 (and back); XOR r, r2 twice; XCHG r, r2 twice; BSWAP r twice.
uint32_t inverseRegisterPair(const Measured& m) {
    if (m.count < 2) return 0;
    const Inst& a = m.inst[0];
    const Inst& b = m.inst[1];
    const AluRegReg x = aluRegReg(a), y = aluRegReg(b);
    if (x.kind != AluKind::kNone && y.kind != AluKind::kNone && x.dest != x.source && x.dest != kEsp) {
        const bool inverse = (x.kind == AluKind::kAdd && y.kind == AluKind::kSub) ||
                             (x.kind == AluKind::kSub && y.kind == AluKind::kAdd) ||
                             (x.kind == AluKind::kXor && y.kind == AluKind::kXor);
        const bool sameOperands = x.dest == y.dest && x.source == y.source;
        // An exchange undoes itself whichever way round the second one names its registers.
        const bool swapBack = x.kind == AluKind::kXchg && y.kind == AluKind::kXchg && x.source != kEsp &&
                              ((sameOperands) || (x.dest == y.source && x.source == y.dest));
        if ((inverse && sameOperands) || swapBack) return a.length + b.length;
    }
    const bool bswap = a.length == 2 && b.length == 2 && a.bytes[0] == 0x0F && b.bytes[0] == 0x0F &&
                       a.bytes[1] >= 0xC8 && a.bytes[1] == b.bytes[1];
    return bswap ? 4 : 0;
}

// Jcc +a / Jncc +(a - 2): together an unconditional jump over the a - 2 garbage bytes after them.
uint32_t complementaryJumps(const Measured& m) {
    if (m.count < 2 || !conditionalJump(m.inst[0]) || !conditionalJump(m.inst[1])) return 0;
    if ((m.inst[0].bytes[0] ^ m.inst[1].bytes[0]) != 1) return 0;
    const uint32_t a = m.inst[0].bytes[1], b = m.inst[1].bytes[1];
    return a >= 2 && a <= 32 && b == a - 2 ? 2 + a : 0;
}

// JMP +n over a few garbage bytes. Longer forward jumps are left alone: compilers' startup code
// jumps over its own signature text (16 bytes and more).
uint32_t shortJumpOverGarbage(const Measured& m) {
    if (m.count < 1 || m.inst[0].length != 2 || m.inst[0].bytes[0] != 0xEB) return 0;
    const uint32_t n = m.inst[0].bytes[1];
    return n >= 1 && n <= 8 ? 2 + n : 0;
}

// Instructions that change only r, then one that sets r without reading it: the first ones
// are dead.
uint32_t overwrittenRegister(const Measured& m) {
    uint32_t r = 8;
    for (uint32_t k = 0; k < m.count; ++k) {
        const Inst& i = m.inst[k];
        if (k > 0) {
            uint32_t reg = 0, rm = 0;
            const bool setsR = (i.length == 5 && i.bytes[0] == 0xB8 + r) ||
                               (regForm(i, 0x8B, 2, &reg, &rm) && reg == r && rm != r) ||
                               (regForm(i, 0x89, 2, &reg, &rm) && rm == r && reg != r);
            if (setsR) return m.lengthOf(0, k - 1);
        }
        uint32_t changed = 8;
        if (!IsInstOnlyModifReg(i.bytes, i.length, &changed) || (k > 0 && changed != r)) return 0;
        r = changed;
    }
    return 0;
}

using JunkForm = uint32_t (*)(const Measured&);
struct CatalogueRow {
    const char* name;
    JunkForm measure;
};
// Tried in order; the first form that matches gives the length.
constexpr CatalogueRow junkCatalogue[] = {
    {"NOP run", nopRun},
    {"PUSH r / POP r", pushPopSame},
    {"PUSH r / changes of r / POP r", savedRegisterWork},
    {"PUSH / ADD ESP, 4", pushDropped},
    {"INC r / DEC r", incDec},
    {"MOV r, r", moveToItself},
    {"inverse operations with an immediate", inverseImmediatePair},
    {"inverse operations on EAX with an immediate", inverseAccumulatorPair},
    {"inverse register operations", inverseRegisterPair},
    {"Jcc / Jncc to one target", complementaryJumps},
    {"JMP over garbage", shortJumpOverGarbage},
    {"register overwritten before use", overwrittenRegister},
};

}  // namespace

int IsInstOnlyModifReg(const uint8_t* code, uint32_t length, uint32_t* reg) {
    if (!code || length == 0 || !reg) return 0;
    const Inst i{code, length};
    const uint8_t op = code[0];
    uint32_t r = 8, field = 0, rm = 0;
    if (length == 1 && op >= 0x40 && op <= 0x4F) r = op & 7;                    // INC r, DEC r
    else if (length == 5 && op >= 0xB8 && op <= 0xBF) r = op - 0xB8;             // MOV r, imm32
    else if (length == 2 && op == 0x0F && code[1] >= 0xC8) r = code[1] - 0xC8;   // BSWAP r
    else if (length == 3 && op == 0x0F && (code[1] == 0xB6 || code[1] == 0xB7 || code[1] == 0xBE || code[1] == 0xBF) &&
             (code[2] >> 6) == 3)
        r = (code[2] >> 3) & 7;                                                  // MOVZX / MOVSX r, r
    else if (length == 5 && (op & 0xC7) == 0x05 && op != 0x3D) r = 0;          // ADD ... XOR EAX, imm32
    else {
        // Two-operand ALU and MOV into the reg field: ADD OR ADC SBB AND SUB XOR, MOV r, r2.
        for (uint8_t o : {0x03, 0x0B, 0x13, 0x1B, 0x23, 0x2B, 0x33, 0x8B})
            if (regForm(i, o, 2, &field, &rm)) r = field;
        // Into the r/m field: the same operations written the other way round.
        for (uint8_t o : {0x01, 0x09, 0x11, 0x19, 0x21, 0x29, 0x31, 0x89})
            if (regForm(i, o, 2, &field, &rm)) r = rm;
        // Immediate group (not CMP), shifts and rotates, NOT and NEG.
        for (uint32_t g = 0; g < 7; ++g) {
            if (groupForm(i, 0x81, 6, g, &rm) || groupForm(i, 0x83, 3, g, &rm)) r = rm;
        }
        for (uint32_t g : {0u, 1u, 2u, 3u, 4u, 5u, 7u}) {
            if (groupForm(i, 0xC1, 3, g, &rm) || groupForm(i, 0xD1, 2, g, &rm) || groupForm(i, 0xD3, 2, g, &rm)) r = rm;
        }
        if (groupForm(i, 0xF7, 2, 2, &rm) || groupForm(i, 0xF7, 2, 3, &rm)) r = rm;
    }
    if (r >= 8 || r == kEsp) return 0;
    *reg = r;
    return 1;
}

QRESULT JunkCodeAnalysis(IUnknown* assembler, const uint8_t* code, uint32_t length, uint32_t* junkLength) {
    if (!code || !junkLength || length < kMinimumBuffer) return QE_E_INVALIDARG;
    InterfacePtr<IQEX86Assembler> lengths = queryInterface<IQEX86Assembler>(assembler, qe::IID_IQEX86Assembler);
    if (!lengths) return QE_E_FAIL;
    *junkLength = 0;
    for (const FixedJunk& f : fixedJunkCodeList) {
        if (std::memcmp(code, f.bytes, f.length) == 0) {
            *junkLength = f.length;
            return QE_OK;
        }
    }
    // Up to eight instructions, each where the previous one ended; measuring stops at the end
    // of the buffer.
    Measured m{};
    uint32_t at = 0;
    while (m.count < kMeasured && at < length) {
        const uint32_t n = lengths->GetInstructionLength(code + at, length - at, 32);
        if (n == 0 || n > length - at) return QE_E_FAIL;
        m.inst[m.count++] = {code + at, n};
        at += n;
    }
    for (const CatalogueRow& row : junkCatalogue) {
        if (const uint32_t n = row.measure(m)) {
            *junkLength = n;
            return QE_OK;
        }
    }
    return QE_OK;
}
