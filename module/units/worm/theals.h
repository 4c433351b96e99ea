// Theals: the worm keeps a complete program of its own inside the host's last section. The
// units find that body, confirm it by byte features at fixed offsets inside it and disarm it in
// place: chosen ranges become NOP bytes (0x90) and chosen code fragments get harmless
// replacements. The file keeps its size.
#pragma once

#include <cstdint>

#include "module/frame/scan_unit.h"

// Offsets of the three records are relative to the located body.
struct _FEARTURE_CODE {
    uint32_t offset;
    uint32_t length;  // at most kMaxFeatureLength
    const uint8_t* bytes;
};

struct _FIX_CODE {
    uint32_t offset;
    uint32_t length;
    const uint8_t* bytes;
};

struct _FILL_NOP_CONFIG {
    uint32_t offset;
    uint32_t length;
};

// The data-driven engine the two generation units are built on. The records set into its slots
// belong to the caller and must outlive the checks and repairs that use them.
class CScanTheals {
public:
    static constexpr uint32_t kMaxFeatureLength = 40;
    static constexpr uint32_t kFixSlots = 4;
    static constexpr uint32_t kNopSlots = 5;
    static constexpr uint32_t kFeatureSlots = 10;

    CScanTheals() = default;
    virtual ~CScanTheals();

    int Init(STScanInfo* info, tagScanExParam* param);
    // 1 when the file holds at least n bytes.
    int CheckLength(unsigned int n);
    // Store the record in slot i; 0 (nothing stored) when i is beyond the slots.
    int SetCheckFeature(unsigned int i, _FEARTURE_CODE* feature);
    int SetFixCode(unsigned int i, _FIX_CODE* fix);
    int SetFillNop(unsigned int i, _FILL_NOP_CONFIG* nop);
    // Looks for the signature at file-alignment boundaries below the last 64 KiB of the last
    // section; 1 with the body start and length set.
    int LocateVirus(const uint8_t* signature, uint32_t length);
    // 1 when every feature up to the first empty slot matches.
    int CheckVirus();
    // 1 when every fix up to the first empty slot was written whole.
    int FixCode();
    // 1 when every NOP range up to the first empty slot was filled.
    int FillNop();

    bool located() const { return located_; }
    uint32_t bodyStart() const { return bodyStart_; }
    uint32_t bodyLength() const { return bodyLength_; }

private:
    STScanInfo* info_ = nullptr;
    tagScanExParam* param_ = nullptr;
    uint32_t bodyLength_ = 0;
    uint32_t bodyStart_ = 0;
    _FIX_CODE* fixes_[kFixSlots] = {};
    _FILL_NOP_CONFIG* nops_[kNopSlots] = {};
    _FEARTURE_CODE* features_[kFeatureSlots] = {};
    // Set by a successful LocateVirus: the repairs never work on offsets taken from file start.
    bool located_ = false;
};

class CScanWormTheals : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWormTheals>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;

private:
    CScanTheals theals_;
};

class CScanWormThealsA : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWormThealsA>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;

private:
    CScanTheals theals_;
};

// The generic form: the body is reached through a jump (E9, or 90 E9) at a file-alignment
// boundary of the last section and confirmed by three check records at the jump's target;
// Kill finds code landmarks around the body and disarms between them.
class CScanThealsGen : public CScanEXVirus {
public:
    struct _check_code {
        int32_t offset;  // from the jump's target
        const uint8_t* bytes;
        uint8_t length;
    };

    CScanThealsGen();
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanThealsGen>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
    // 1 when the three check records match at base.
    int CheckVirusGen(int32_t base);

    // The text the body carries, blanked by Kill.
    static constexpr uint8_t kMarker[11] = {'T', 'h', 'e', 'a', 'l', 's', ' ', 'w', 'o', 'r', 'm'};

private:
    tagScanExParam* param_ = nullptr;
    uint32_t jumpField_ = 0;  // raw offset of the jump's 32-bit displacement
    uint32_t bodyStart_ = 0;  // raw offset of the jump's target
    _check_code checks_[3];
    bool found_ = false;
};
