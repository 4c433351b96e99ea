// A suspicion heuristic for kernel drivers that hook the system service table through a
// device of their own while keeping the device's name out of sight.
#pragma once

#include <cstdint>

#include "module/frame/scan_unit.h"

// Registered in no unit table, and as a suspicion unit it never passes NeedToScan or
// WorkIfVirus: no engine runs it. Scan answers 1 for a native-subsystem PE smaller than
// 0x40000 bytes that imports KeServiceDescriptorTable, IoCreateDevice and IoCreateSymbolicLink
// from ntoskrnl.exe and yet holds no readable wide string naming a device ("\Device\...",
// "\DosDevices\..." or "\??\..."): a driver that creates a device and a link to it but builds
// their names at run time. Kill is the base unit's (it repairs nothing).
class CScanObscuredRootkit : public CSuspScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanObscuredRootkit>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
};
