// Readers of the fixed object headers of two media containers, so that detectors can walk ASF
// files object by object and QuickTime files atom by atom. They read headers only and judge
// nothing but the smallest size an object can have; an object that claims to run past the end
// of the file is read as it stands (detectors look for exactly that).
#pragma once

#include <cstdint>

#include "sdk/guid.h"
#include "sdk/unknown.h"

#pragma pack(push, 1)
// The ASF header object at file offset 0.
struct ASF_HEADER_OBJ {
    GUID objectId;               // stored in the usual GUID byte order
    uint64_t objectSize;         // little-endian
    uint32_t headerObjectCount;
    uint8_t reserved1;
    uint8_t reserved2;
};
// The start of every ASF object.
struct ASF_OBJ_GUID_AND_SIZE {
    GUID objectId;
    uint64_t objectSize;
};
// A QuickTime atom header; the size is converted to host order by the reader.
struct QUICKTIME_ATOM {
    uint32_t size;
    char type[4];  // as stored
};
#pragma pack(pop)
static_assert(sizeof(ASF_HEADER_OBJ) == 30 && sizeof(ASF_OBJ_GUID_AND_SIZE) == 24 && sizeof(QUICKTIME_ATOM) == 8);

// 75B22630-668E-11CF-A6D9-00AA0062CE6C, stored as 30 26 B2 75 8E 66 CF 11 A6 D9 00 AA 00 62 CE 6C.
constexpr GUID ASF_HEADER_OBJECT_GUID = qe::makeGuid("75B22630-668E-11CF-A6D9-00AA0062CE6C");

// Each reader asks `stream` for IQEStream (and IQXStream, whose seek is preferred), seeks to the
// offset and reads the record. `out` holds whatever was read even when the result is 0.

// 1 when 30 bytes were read at offset 0 and they start with the ASF header object's GUID.
int ReadHeaderObj(IUnknown* stream, ASF_HEADER_OBJ* out);
// 1 when 24 bytes were read at `offset` and the object size is at least 24.
int ReadObjGuidAndSize(IUnknown* stream, int offset, ASF_OBJ_GUID_AND_SIZE* out);
// 1 when 8 bytes were read at `offset` and the atom size, in host order, is at least 8 (so the
// sizes 0, "to the end of the file", and 1, "64-bit size follows", give 0).
int QuickTimeReadAtom(IUnknown* stream, int offset, QUICKTIME_ATOM* out);
