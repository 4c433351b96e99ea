// The host's second virtual machine (IQEVM) for 32-bit PE images, on the same Unicorn
// core and loader as the request emulator. A reference-counted object; the object loader
// creates it for CLSID_CQEVM.
//
//   LoadStream(stream): reads the whole stream (its position is kept) and loads it as a
//     PE32 program; answers ImageBase, or 0 when the bytes are not a loadable PE32 image.
//   Registers: 0-7 in x86 order, 8 EFLAGS, 9 EIP.
//   Run limits {milliseconds (0 = none), instructions}: a bound for each Run call; by
//     default {2000, 10,000,000}. The time is checked every 4096 instructions.
//   Stop points {address, kind, length}, handles from 1:
//     0  execute: the run stops before the instruction at `address`          -> 1
//     1  write into [address, address + length) (length 0 = 1)                -> 3
//     2  any data access to that range                                         -> 3
//     64 range entry: execution enters [address, address + length) from outside
//   Write and access points stop *before* the instruction that touches the range (its
//   memory operands are decoded ahead); the instruction a run starts on never stops it, so
//   a following run (or a single step) executes it.
//   Run(mode, argument) answers a status:
//     mode 1: until a stop point fires (a range entry counts)   mode 2: one instruction
//     mode 7: until `argument` range entries have happened (other stop points stop it too)
//     status 1 stopped as asked / step done, 2 run limit, 3 write or access point,
//     4 fault (or a call into an import the host does not model), 5 the program ended,
//     0 nothing loaded or an unknown mode.
//   ReadMemory / WriteMemory answer the bytes moved (the mapped prefix).
//   Search(start, length, pattern, patternLength, found): first whole occurrence in mapped
//     memory [start, start + length); 1 found.
#pragma once

#include "sdk/host_services.h"

namespace host {

// Creates a VM and answers the interface `iid` (IID_IQEVM or IID_IUnknown) in *out, with one
// reference for the caller. The environment is not needed and may be null.
QRESULT createVm(IUnknown* environment, const GUID& iid, void** out);

}  // namespace host
