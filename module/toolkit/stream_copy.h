// Block-by-block copies between host streams, or from a stream into the emulated file, as
// cleaners use them to move a carried program or an overlay; and Decode, which narrows
// 16-bit characters to bytes.
#pragma once

#include <cstdint>

#include "sdk/exec_export.h"
#include "sdk/file_interfaces.h"

// Copies `count` bytes from src at srcOffset to dst at dstOffset in blocks of `blockSize`, then
// sets dst's size to the end of what was copied. A short source is not an error: what is there
// is copied. dst and src may be the same stream when dstOffset <= srcOffset.
// 0 on success, QE_E_INVALIDARG for a null stream, QE_E_FAIL for any other failure.
QRESULT streamncpy(IQEStream* dst, IQEStream* src, uint32_t dstOffset, uint32_t srcOffset, uint32_t count,
                   uint32_t blockSize);
// streamncpy of everything from srcOffset to the source's end. QE_E_FAIL when the source's size
// cannot be read or is not above srcOffset.
QRESULT streamcpy(IQEStream* dst, IQEStream* src, uint32_t dstOffset, uint32_t srcOffset, uint32_t blockSize);

// Copy `count` bytes (rounded up to whole blocks when the source holds them) from the stream
// object `source` at srcOffset into the emulated file (IExecExport::WriteFile) or into the
// stream object `destination`. The destination is never truncated. 1 on success, 0 on failure
// (also a read of 0 bytes before the count is reached).
int DataCopy(IUnknown* source, uint32_t srcOffset, IExecExport* destination, uint32_t dstOffset, uint32_t count,
             uint32_t blockSize);
int CopyFileObjectToFileObject(IUnknown* source, uint32_t srcOffset, IUnknown* destination, uint32_t dstOffset,
                               uint32_t count, uint32_t blockSize);

// The low byte of each of the first `count` units of src, into dst (which holds count bytes).
void Decode(uint8_t* dst, const uint16_t* src, uint32_t count);
