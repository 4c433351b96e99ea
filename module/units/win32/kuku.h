// Kuku: an entry-point-obscuring infector. Its loader overwrites the first bytes of the host's
// code at the entry point and keeps the stolen bytes, encrypted, in its body in the last
// section. The cleaners let the virus's own decryptor bring them back as plain code in an
// emulator, write them over the entry point and remove the body.
#pragma once

#include <cstdint>

#include "module/frame/scan_unit.h"
#include "sdk/file_interfaces.h"

// Finds the loader by the x87 sequence it computes its jump with (fild dword [esp+4]; faddp;
// fistp dword [esp]) in the 128 bytes from 32 bytes behind the entry point. Its Kill runs the
// file in the host's second virtual machine until the loader has entered the last section
// three times, takes the stolen bytes from where the body's copy loop reads them, writes them
// back and deletes the last section.
class CScanKUKU_ko : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanKUKU_ko>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

// The shared cleaner: traces the loader in the request emulator instruction by instruction
// (skipping its API calls and carrying values moved through MMX registers itself), runs the
// body's decryptor until the body's entry, finds the stolen bytes by one of three layouts of
// the body's copy code, writes them over the entry point and cuts the body.
class CScanKuku : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanKuku>(); }
    // A hit needs a file of 57,856 to 21,028,864 bytes whose last section is executable with
    // at least 57,344 raw bytes, holding the body's delta prologue, and a loader that the
    // cleaner traces to the stolen bytes (the same trace Kill runs, without writing).
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
    // A fix-up for one known sample: the dword at file offset 0x2534A0 is put at emulated
    // address 0x6540A0 when that still reads 0.
    static void PatchSpecificKuKuFile(IExecExport* exec, IQEStream* stream);
};

// Kill method 0x1d: CScanKuku's cleaner.
class CKillKukuKill : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CKillKukuKill>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
