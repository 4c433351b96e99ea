// Generic repairs the host asks for by number (1 to 9), each with a 32-bit parameter that says
// where and how to repair. None of them scans.
#pragma once

#include "module/frame/scan_unit.h"

#define REMEDY_SPECIAL_KILL(Class)                                                       \
    class Class : public CScanEXVirus {                                                  \
    public:                                                                              \
        static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<Class>(); }  \
        uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;                 \
    };

// 1: cuts a prepended body whose length (at image base + P) the emulated image records; a file
// holding little more than that body is deleted.
REMEDY_SPECIAL_KILL(CKillMiser)
// 2: writes an emulator value (register, IP, or a word they point at) into a PE header field.
REMEDY_SPECIAL_KILL(CKillRestorePeHeader)
// 3: one emulator control command (run to, step, set IP, restart, stop condition).
REMEDY_SPECIAL_KILL(CVMControlerStub)
// 4: removes the first P bytes of the file (and of its packer parent).
REMEDY_SPECIAL_KILL(CCutFileHead)
// 5: subtracts the low byte of P from every byte of the file.
REMEDY_SPECIAL_KILL(CKillSubRest)
// 6: runs the program to its E8 00 00 00 00 5B, restores the five entry bytes kept at IP + P and
// zeroes the ranges listed after them.
REMEDY_SPECIAL_KILL(CscanRag)
// 7: replaces the file by its resource whose path CRC is P.
REMEDY_SPECIAL_KILL(CExtractResource)
// 8: replaces the file by a resource of its packer parent.
REMEDY_SPECIAL_KILL(CExtractResource2)
// 9: replaces the file by the companion file in the same directory whose extension is P.
REMEDY_SPECIAL_KILL(CGetExtraFileData)

#undef REMEDY_SPECIAL_KILL
