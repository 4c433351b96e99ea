// Parite: an appended last section, a data block in the body with the two KERNEL32.DLL
// import-name thunks the virus redirected and (variants b, c) the moved entry point.
#pragma once

#include <array>
#include <cstdint>

#include "module/frame/scan_unit.h"

// Inserts `value` into the max-heap of unsigned bytes kept in `heap` and counts it. Equal bytes
// do not move. Does nothing once the heap is full.
void PariteEnCode(std::array<uint8_t, 16>& heap, uint8_t value, int32_t& count);

class CScanWin32Parite_a : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWin32Parite_a>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

class CScanWin32Parite_b : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWin32Parite_b>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

class CScanWin32Parite_c : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWin32Parite_c>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

class CScanWin32Parite_d : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWin32Parite_d>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
