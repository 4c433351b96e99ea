// A heuristic for Visual Basic 5/6 programs that declare the download function
// URLDownloadToFileA together with a way to start what they fetched.
#pragma once

#include <cstdint>

#include "module/frame/scan_unit.h"

// Runs only when the host enables heuristics. Scan reads, through the emulator's image, the
// VB5! header the entry code pushes, its project record and the program's API declarations;
// Kill removes the file.
class CScanUnknownVBDownLoader : public CUnknownScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanUnknownVBDownLoader>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
