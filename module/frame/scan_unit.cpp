#include "module/frame/scan_unit.h"

CScanEXVirus::~CScanEXVirus() = default;
uint32_t CScanEXVirus::Scan(STScanInfo*, tagScanExParam*) { return 0; }
uint32_t CScanEXVirus::Kill(STScanInfo*, tagScanExParam*) { return KILL_FAILED; }
void CScanEXVirus::Reset() {}
uint32_t CScanEXVirus::NeedToScan(STScanInfo*) { return 1; }
uint32_t CScanEXVirus::WorkIfVirus(IUnknown*, unsigned int) { return 1; }
