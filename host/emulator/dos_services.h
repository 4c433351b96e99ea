// The DOS and BIOS services a real-mode program gets from the host's emulator: enough for
// virus code to run its start-up (version checks, vectors, DTA, PSP, memory resizing,
// file searches that find nothing) without touching anything of the real machine.
#pragma once

#include <cstdint>

#include "host/emulator/program_loader.h"
#include "host/emulator/x86_cpu.h"

namespace host {

struct DosState {
    uint16_t dtaSegment = kPspSegment, dtaOffset = 0x80;  // the disk transfer area: PSP:80h at start
};

enum class DosOutcome { Serviced, Terminated };

// Services INT `number` issued by the program (IP already past the INT); registers and
// the carry flag are set as DOS would. INT 20h, INT 21h functions 00h, 31h, 4Ch and INT 27h
// end the program.
//   INT 21h: 00 exit; 02/06/09 output (discarded); 0E select disk (5 drives); 19 current
//   disk (C:); 1A set DTA; 25 set vector; 2A/2C date and time (fixed); 2F get DTA;
//   30 version (5.00); 33 break flag (off); 35 get vector; 3C/3D create/open (fail: access
//   denied / not found); 3E close (fail: invalid handle); 47 current directory (root);
//   48 allocate (fail, no memory); 49 free, 4A resize (succeed); 4E/4F find (no more files);
//   51/62 PSP; everything else: carry set, AX = 1 (invalid function).
//   INT 1Ah: tick count 0. INT 10h, 13h, 16h, 2Fh and the rest: no effect.
DosOutcome serviceDosInterrupt(X86Cpu& cpu, uint32_t number, DosState& state);

}  // namespace host
