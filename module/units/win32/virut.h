// Virut: a polymorphic infector whose code sits in the last section of the host (or in
// sections it adds). The host's own entry point exists only in the virus's run-time state, so
// the units run the virus code until that address is on the stack, then cut the virus away.
#pragma once

#include <cstdint>

#include "module/frame/scan_unit.h"

// The entry-point stub `sub esp, 2Ch ... call ... xchg [esp+d8], ebp` in the last section. Scan
// finds the stub by its bytes; Kill steps the stub in the request's emulator up to the xchg,
// reads the host's entry point from the stack, writes it into the header and cuts the virus
// code from the old entry point to the end of the last section's raw data.
class CScanVirutNew_cs : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanVirutNew_cs>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;

private:
    uint32_t swapAddress_ = 0;  // emulated address of the xchg's 87 opcode; 0 when nothing found
};

// The entry-point stub `cmp dword [esp], imm8 ... call near` whose callee keeps the host's
// entry point in the dword EBP points at. Scan runs the file in a VM of its own up to the
// instruction that writes that dword and keeps the entry point; Kill removes the sections
// that lie above the virus's entry point, zeroes the stub and writes the header.
class CScanVirutCe : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanVirutCe>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;

private:
    uint32_t hostEntryRva_ = 0;  // 0 when nothing found
};

// A Virut body left in an executable last section that the entry point does not lead to.
// Scan finds the body's opening in emulated memory; Kill ends the section where the body
// begins and shrinks SizeOfImage to match. The body's bytes stay in the file as trailing data.
class CScanVirutBad : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanVirutBad>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;

private:
    uint32_t bodyRva_ = 0;  // 0 when nothing found
};
