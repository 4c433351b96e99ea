// Sality: a loader over the 106 bytes at the host's entry point and a 0x5000-byte encrypted body
// at the start of the last section's raw data, holding the bytes the loader replaced.
#pragma once

#include <cstdint>
#include <span>

#include "module/frame/scan_unit.h"

// Decrypts the body in place: 16-bit word i of n is XORed with the low 16 bits of
// (key - 2) * (n - i). A trailing odd byte is left as it is.
void DecryptSalityBody(std::span<uint8_t> body, uint32_t key);

// Kill only: KILL_REPAIRED, 0 when the host's PE model cannot open the file, else KILL_FAILED.
class CKillSality : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CKillSality>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
