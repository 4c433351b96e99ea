// FunLove: the body appended to a PE program, the first eight bytes of code at the host's entry
// point overwritten with a call into it; the body keeps the eight original bytes.
#pragma once

#include <cstdint>

#include "module/frame/scan_unit.h"

// Scan runs the infected entry code three instructions into the body, takes the saved entry
// bytes from there and finds the body's start by code fragments near the end of the file. Kill
// (on the unit that found it) writes the entry bytes back and cuts the body off.
class CScanFunLoveInt : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanFunLoveInt>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
    void Reset() override;

private:
    uint32_t m_bodyOffset = 0;
    uint8_t m_savedEntry[8] = {};
    uint32_t m_entryOffset = 0xFFFFFFFFu;  // all ones until a scan found the entry
};
