// Magistr: the first 512 bytes of code at the host's entry point overwritten, the encrypted
// body appended to the file and named by an import descriptor that holds one non-zero field.
#pragma once

#include <cstdint>
#include <vector>

#include "module/frame/scan_unit.h"

// Scan finds the body through the import descriptor and runs its decryptor in the emulator
// until the first XOR instruction, where a register holds the worm's marker. Kill lets the
// emulator decrypt the body, puts the 512 saved entry bytes back and cuts the body off; a file
// whose decrypted body never gives control back, or has neither known layout, is the worm
// alone and is deleted.
class CScanMargistr : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanMargistr>(); }
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
    void Reset() override;

    // True when EAX, EBX, ECX, EDX, ESI or EDI holds one of the worm's marker values.
    static bool IsMargistrWriteMemery(IExecExport* emu);

private:
    std::vector<uint8_t> m_body;  // the body as read at Scan, decrypted by Kill
    uint32_t m_length = 0;        // body bytes read (at most 0xA000)
    uint32_t m_entryOffset = 0;
    uint32_t m_bodyOffset = 0;
};
