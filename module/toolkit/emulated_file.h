// Checked access to the file the host's emulator has open (IExecExport's file operations),
// for the units that repair through the emulator instead of a stream.
//
// The emulator answers only byte counts and 0/1 flags; these helpers turn them into plain
// answers. Every helper answers false when the host call fails or when the answer cannot be
// used (a short read, a size the host cannot tell), so a unit can end its repair with
// KILL_FAILED. The emulator addresses the file with 32-bit offsets: a larger offset is refused
// before the host is asked.
#pragma once

#include <cstdint>

#include "sdk/engine.h"
#include "sdk/exec_export.h"

namespace remedy {

// The emulator of the request, or null (the request record allows none).
inline IExecExport* emulatorOf(const tagScanExParam* param) { return param ? param->emulator : nullptr; }

// The file size; false when the host cannot tell (all ones).
bool fileSize(IExecExport& emu, uint32_t* size);
// Exactly `length` bytes at `offset`; a short read, an empty one and an offset beyond 32 bits
// are failures.
bool readFile(IExecExport& emu, void* buffer, uint64_t offset, uint32_t length);
// Exactly `length` bytes written at `offset`, under the same rules as readFile.
bool writeFile(IExecExport& emu, const void* buffer, uint64_t offset, uint32_t length);
// Little-endian words at `offset`.
bool readWord(IExecExport& emu, uint32_t offset, uint16_t* value);
bool writeWord(IExecExport& emu, uint32_t offset, uint16_t value);
bool readDword(IExecExport& emu, uint32_t offset, uint32_t* value);
// Sets the file's size (cuts or extends).
bool truncateFile(IExecExport& emu, uint32_t size);

// `length` bytes of emulated memory at `address`.
bool readMemory(IExecExport& emu, uint32_t address, void* buffer, uint32_t length);
// The file offset an emulated address was loaded from.
bool fileOffsetOf(IExecExport& emu, uint32_t address, uint32_t* offset);

// True when a ReadFile of `length` bytes at `offset` that returned `got` bytes brought fewer
// than the file holds there: the host failed the read. A read that reaches past the end of the
// file is short by right. When the host cannot tell the file's size, every short read counts
// as refused.
bool readWasRefused(IExecExport& exec, uint32_t offset, uint32_t length, uint32_t got);

}  // namespace remedy
