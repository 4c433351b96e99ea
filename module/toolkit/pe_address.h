// Address conversion between RVAs and file offsets of a PE file, the two header repairs
// several cleaners share (SizeOfImage after the last section changed, removing the last
// section), and the byte-order swap of big-endian readers.
#pragma once

#include <cstdint>

#include "module/toolkit/interface_ptr.h"
#include "sdk/engine.h"

// Reverses the first `length` bytes of `buffer` in place. 0 for a null buffer, else 1
// (a length below 2 changes nothing).
int SwapByteOrder(void* buffer, int32_t length);

// RVA -> file offset and back, asked of the host's own PE model opened on info->stream (the
// object loader found under PID_ROT_ObjectLoader in info->rot). 0xFFFFFFFF on any failure.
uint32_t rva2raw(uint32_t rva, STScanInfo* info);
uint32_t raw2rva(uint32_t offset, STScanInfo* info);

namespace remedy {

// A host PE archive (CLSID_CQEPEArchive, created through the running-object table's object
// loader with `rot` as its environment) opened on `stream`; empty when any step fails, also
// when the stream is no PE file.
InterfacePtr<IQEArchive> openHostPeArchive(IUnknown* rot, IUnknown* stream);

}  // namespace remedy
