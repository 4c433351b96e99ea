// Magistr g: the host's overwritten entry code kept in the worm's appended body, compressed with
// a bit-level LZ scheme, together with the host's entry point.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "module/frame/scan_unit.h"

// Decompresses `bits` bits of `compressed`. Empty when the stream reads past its bits or its
// buffer, produces more than `maxOutput` bytes, or copies from bytes not yet produced.
std::optional<std::vector<uint8_t>> DecompressMagistrEntry(std::span<const uint8_t> compressed, uint32_t bits,
                                                           uint32_t maxOutput);

// Kill method 17.
class CKillWormMagistr_g : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CKillWormMagistr_g>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
