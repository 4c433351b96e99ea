// Address conversion between RVAs and file offsets of a PE file, the two header repairs
// several cleaners share (SizeOfImage after the last section changed, removing the last
// section), and the byte-order swap of big-endian readers.
#pragma once

#include <cstdint>

#include "module/toolkit/interface_ptr.h"
#include "sdk/engine.h"

// RVA -> file offset by the file's own section table (read with CPEHeander2 over `stream`): the
// first section in table order whose raw data holds the RVA (an RVA in a section's
// uninitialised tail is not converted). 1 and *offset set, or 0 and nothing stored.
int ConvertRVAtoFileOffset(uint32_t rva, uint32_t* offset, IUnknown* stream);
// The mirror image: the first section whose raw data holds the file offset.
int ConvertFileOffsetToRva(uint32_t offset, uint32_t* rva, IUnknown* stream);

// Rewrites SizeOfImage in the file as the last section's VirtualAddress plus its VirtualSize
// rounded up to SectionAlignment, and, when the file ends inside the last section's raw data,
// cuts that section's SizeOfRawData to what the file holds. Writes through param->emulator;
// param->peHeaders is read, not updated. 1 on success, 0 on failure.
int ModifySizeOfImage(tagScanExParam* param);

// Removes the last section: decrements NumberOfSections (through info->stream), lowers
// SizeOfImage by the section's VirtualSize, moves the overlay that follows the section's raw
// data down over it in blocks of 4096 bytes and ends the file after it. 1 when every step
// succeeded (a section without raw data in the file only has its header fields rewritten);
// 0 when any host call failed, the file then left as far as the work got.
int DeleteLastSection(STScanInfo* info, tagScanExParam* param);

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
