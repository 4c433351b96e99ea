// Klez: the worm replaces a program and keeps it, compressed, in a separate file whose name it
// stores encoded inside itself; the virus part of the family infects PE files with a body in
// their last part and drops a DLL of its own.
#pragma once

#include <cstdint>

#include "module/frame/scan_unit.h"

// Decodes `length` bytes of `buffer` in place: each byte is XORed with key[1] and rotated right
// by one bit key[0] times; key[3] receives every decoded byte. Returns 1.
int FileExtNameDecode(uint8_t* buffer, int32_t length, uint8_t* key);

// Expands the stored program: a dword run count n, n runs of zeros (output position, length),
// then the literal bytes. Returns a new[]-allocated buffer the caller delete[]s, with its
// length in *outLength; null when the input is malformed or the result would be too large.
uint8_t* Decodefile(const uint8_t* input, uint32_t inputLength, uint32_t* outLength);

// The stored program may not expand beyond this (an input claims its size).
constexpr uint32_t kKlezMaxProgramSize = 64u << 20;

// Cleans a PE file the virus part infected: the body at the entry is zeroed, or cut off when
// it is the file's last part; the dropped DLL is removed.
class CScanWin32Klez : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWin32Klez>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

// The worm file: the stored program is found by its decoded name, expanded over the worm and
// its file deleted. A worm without a stored program is deleted.
class CScanWormKlezF : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWormKlezF>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};

class CScanWormKlezK : public CScanEXVirus {
public:
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<CScanWormKlezK>(); }
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;
};
