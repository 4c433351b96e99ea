// Address conversion between RVAs and file offsets of a PE file, the two header repairs
// several cleaners share (SizeOfImage after the last section changed, removing the last
// section), and the byte-order swap of big-endian readers.
#pragma once

#include <cstdint>

#include "sdk/engine.h"

// Reverses the first `length` bytes of `buffer` in place. 0 for a null buffer, else 1
// (a length below 2 changes nothing).
int SwapByteOrder(void* buffer, int32_t length);
