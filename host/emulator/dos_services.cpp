#include "host/emulator/dos_services.h"

#include <unicorn/unicorn.h>

#include "host/emulator/program_loader.h"

namespace host {

namespace {

constexpr uint32_t kCarry = 1;

void setCarry(X86Cpu& cpu, bool carry) {
    uint32_t flags = cpu.reg(UC_X86_REG_EFLAGS);
    cpu.setReg(UC_X86_REG_EFLAGS, carry ? flags | kCarry : flags & ~kCarry);
}

void setAx(X86Cpu& cpu, uint16_t ax) {
    cpu.setReg(UC_X86_REG_EAX, (cpu.reg(UC_X86_REG_EAX) & 0xFFFF0000u) | ax);
}
void setLow16(X86Cpu& cpu, int reg, uint16_t value) {
    cpu.setReg(reg, (cpu.reg(reg) & 0xFFFF0000u) | value);
}

void fail(X86Cpu& cpu, uint16_t error) {
    setAx(cpu, error);
    setCarry(cpu, true);
}

DosOutcome int21(X86Cpu& cpu, DosState& state) {
    const uint32_t eax = cpu.reg(UC_X86_REG_EAX);
    const uint8_t ah = uint8_t(eax >> 8), al = uint8_t(eax);
    switch (ah) {
    case 0x00: case 0x31: case 0x4C:
        return DosOutcome::Terminated;
    case 0x02: case 0x06: case 0x09:
        break;
    case 0x0E:
        setAx(cpu, uint16_t((eax & 0xFF00) | 5));
        break;
    case 0x19:
        setAx(cpu, uint16_t((eax & 0xFF00) | 2));
        break;
    case 0x1A:
        state.dtaSegment = uint16_t(cpu.reg(UC_X86_REG_DS));
        state.dtaOffset = uint16_t(cpu.reg(UC_X86_REG_EDX));
        break;
    case 0x25: {
        uint8_t vector[4] = {uint8_t(cpu.reg(UC_X86_REG_EDX)), uint8_t(cpu.reg(UC_X86_REG_EDX) >> 8),
                             uint8_t(cpu.reg(UC_X86_REG_DS)), uint8_t(cpu.reg(UC_X86_REG_DS) >> 8)};
        cpu.write(uint32_t(al) * 4, vector, 4);
        break;
    }
    case 0x2A:  // Tuesday 1 January 1991
        setLow16(cpu, UC_X86_REG_ECX, 1991);
        setLow16(cpu, UC_X86_REG_EDX, 0x0101);
        setAx(cpu, uint16_t((eax & 0xFF00) | 2));
        break;
    case 0x2C:
        setLow16(cpu, UC_X86_REG_ECX, 0x0C00);
        setLow16(cpu, UC_X86_REG_EDX, 0);
        break;
    case 0x2F:
        cpu.setReg(UC_X86_REG_ES, state.dtaSegment);
        setLow16(cpu, UC_X86_REG_EBX, state.dtaOffset);
        break;
    case 0x30:
        setAx(cpu, 0x0005);
        setLow16(cpu, UC_X86_REG_EBX, 0);
        setLow16(cpu, UC_X86_REG_ECX, 0);
        break;
    case 0x33:
        setLow16(cpu, UC_X86_REG_EDX, uint16_t(cpu.reg(UC_X86_REG_EDX) & 0xFF00));
        break;
    case 0x35: {
        uint8_t vector[4] = {};
        cpu.read(uint32_t(al) * 4, vector, 4);
        setLow16(cpu, UC_X86_REG_EBX, uint16_t(vector[0] | vector[1] << 8));
        cpu.setReg(UC_X86_REG_ES, uint16_t(vector[2] | vector[3] << 8));
        break;
    }
    case 0x3C:
        fail(cpu, 5);
        return DosOutcome::Serviced;
    case 0x3D:
        fail(cpu, 2);
        return DosOutcome::Serviced;
    case 0x3E:
        fail(cpu, 6);
        return DosOutcome::Serviced;
    case 0x47: {
        const uint8_t empty = 0;
        cpu.write(cpu.reg(UC_X86_REG_DS) * 16 + (cpu.reg(UC_X86_REG_ESI) & 0xFFFF), &empty, 1);
        break;
    }
    case 0x48:
        setLow16(cpu, UC_X86_REG_EBX, 0);
        fail(cpu, 8);
        return DosOutcome::Serviced;
    case 0x49: case 0x4A:
        break;
    case 0x4E: case 0x4F:
        fail(cpu, 0x12);
        return DosOutcome::Serviced;
    case 0x51: case 0x62:
        setLow16(cpu, UC_X86_REG_EBX, kPspSegment);
        break;
    default:
        fail(cpu, 1);
        return DosOutcome::Serviced;
    }
    setCarry(cpu, false);
    return DosOutcome::Serviced;
}

}  // namespace

DosOutcome serviceDosInterrupt(X86Cpu& cpu, uint32_t number, DosState& state) {
    switch (number) {
    case 0x20: case 0x27:
        return DosOutcome::Terminated;
    case 0x21:
        return int21(cpu, state);
    case 0x1A:
        if ((cpu.reg(UC_X86_REG_EAX) & 0xFF00) == 0) {
            setLow16(cpu, UC_X86_REG_ECX, 0);
            setLow16(cpu, UC_X86_REG_EDX, 0);
        }
        return DosOutcome::Serviced;
    default:
        return DosOutcome::Serviced;
    }
}

}  // namespace host
