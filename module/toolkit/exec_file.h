// Telling a read the host refused apart from one the end of the file cut short, for units that
// read the file through the emulator's ReadFile (which answers only a byte count).
#pragma once

#include <cstdint>

#include "sdk/exec_export.h"

namespace remedy {

// True when a ReadFile of `length` bytes at `offset` that returned `got` bytes brought fewer
// than the file holds there: the host failed the read. A read that reaches past the end of the
// file is short by right. When the host cannot tell the file's size, every short read counts
// as refused.
bool readWasRefused(IExecExport& exec, uint32_t offset, uint32_t length, uint32_t got);

}  // namespace remedy
