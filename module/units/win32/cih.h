// CIH: a body split into pieces in the header area and in the slack at the ends of sections,
// with a table of the pieces in the 256 bytes in front of the first one. Also the 277 bytes a
// CIH 1003 body leaves in the header area of a program it no longer starts.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "module/frame/scan_unit.h"

// Kill only: zeroes every piece the table names and clears the table. KILL_REPAIRED once the
// body lies past the first 256 bytes of the file, whatever the later steps achieved.
class CScanPECIHVirusBody : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanPECIHVirusBody>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

// Finds the remains of a CIH 1003 body in the header area and zeroes them. Kill works on what
// the Scan of the same object found.
class CScanPE_CIH_1003_Junk : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanPE_CIH_1003_Junk>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
    void Reset() override;

private:
    std::vector<uint8_t> headerCopy_;    // the first min(SizeOfHeaders, 4096) bytes of the file
    std::optional<uint32_t> match_;      // where the remains begin in the copy
};
