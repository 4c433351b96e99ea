// Tequila5Volt2659: an encrypted body behind a decryption loop at the entry; recognised by the
// loop's shape, then allowed to decrypt itself. Detected before the signature library.
#pragma once

#include <cstdint>
#include <optional>

#include "module/frame/scan_unit.h"

class CScanTequila5Volt2659 : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanTequila5Volt2659>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;

private:
    std::optional<uint32_t> savedHeader_;  // D: where the body (and the saved header) begins
};

// Context of Tequila5Volt2659Condition.
struct Tequila5Volt2659Run {
    IExecExport* emulator;
    uint32_t target;  // 16-bit IP just past the decryption loop
};
// RunWhile condition: 0 once the 16-bit IP is at the target.
int Tequila5Volt2659Condition(const void* context);

// Where the decryption loop of an 80-byte entry window ends: the offset of its LOOP
// instruction, or nothing when the window holds no such loop.
std::optional<uint32_t> findTequilaLoop(const uint8_t (&window)[80]);
