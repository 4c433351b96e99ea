// XLD: a document turned into a program. A small extractor carries a compound document behind
// itself and records its own size in a raw-data resource ("UKURAN_EKSTRAKTOR"). The cleaner cuts
// the extractor off the front and asks the host to rename the file with the ".doc" suffix.
#pragma once

#include <cstdint>

#include "module/frame/scan_unit.h"

class CScanXLD : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanXLD>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    // KILL_REPAIRED once the extractor is cut off (whether or not the rename could be asked for),
    // else KILL_FAILED.
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;

    // Asks the host to give the file `suffix` (narrow path) or `wideSuffix` (wide path) in place
    // of its last suffix: 1 when the request was made, else 0.
    int ChangeSuffix(STScanInfo* info, const char* suffix, const wchar_t* wideSuffix);

private:
    uint32_t documentOffset_ = 0;  // where the compound file's signature begins
    uint32_t storedLength_ = 0;    // the dword in front of the document (kept, not used)
};
