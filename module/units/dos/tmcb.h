// TmcB: a body that starts with MOV BP, imm16, carries the marker MOV AX, [3]; CMP AX, 1900h and
// puts the host's entry back with a copy routine the cleaner recognises (plain or padded with
// jumps). Detected after the signature library; repaired with the state the scan left.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "module/frame/scan_unit.h"

// What a TmcB scan keeps for the kill on the same object.
class CScanTmcBBase : public CScanEXVirus {
public:
    ~CScanTmcBBase() override;
    void Reset() override;

protected:
    static constexpr uint32_t kBodyCapacity = 5120;
    // Allocates the body buffer and the patterns afresh; false when memory runs out.
    bool allocate();
    std::optional<uint32_t> findInBody(const uint8_t* pattern, uint32_t length, uint32_t from, uint32_t end) const;
    bool findMarkers(uint32_t searched);

    uint32_t virusStart_ = 0;                  // COM: file offset of the body; MZ: entry address
    std::optional<uint32_t> markerHit_;        // offsets into the body
    std::optional<uint32_t> restoreHit_;
    std::optional<uint32_t> mutatedRestoreHit_;
    uint32_t bodyLength_ = 0;
    std::unique_ptr<uint8_t[]> body_;
    std::unique_ptr<uint8_t[]> marker_;
    std::unique_ptr<uint8_t[]> restore_;
    uint32_t restoreLength_ = 0;
    std::unique_ptr<uint8_t[]> mutatedRestore_;
};

class CScanTmcBCOM : public CScanTmcBBase {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanTmcBCOM>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

class CScanTmcBMZ : public CScanTmcBBase {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanTmcBMZ>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
    void Reset() override;

private:
    struct HostRegisters {
        uint16_t ss, sp, ip, cs;
    };
    bool registersFromEmulation(IExecExport& emu, uint32_t entry, HostRegisters* out);

    std::unique_ptr<uint8_t[]> saveCode_;  // the 16-byte pattern of the variant that keeps the header
    uint32_t saveCodeLength_ = 0;
};
