// Facts about the scanned file object kept as host properties: marker properties a unit sets
// to see later that a file was dealt with, the packed parent of an unpacked file, and two
// cached PE facts (certificate present, version resource present).
#pragma once

#include <cstdint>

#include "sdk/file_interfaces.h"

// Sets the marker `id` (value type 22, value 1) through the object's IQEProperty. 1 when set.
int SetPidProperty(GUID id, IUnknown* object);
// 1 when the object carries `id` with a value of type 22 (the value itself is not examined).
int GetPidProperty(GUID id, IUnknown* object);

// The packed file that `archive` was unpacked from, when the host judged it a known packer.
// *out always receives a reference the caller releases: the parent (result 1), else `archive`
// itself (result 0: no parent, or the parent is no known packer). With flag 0x200 the parent's
// stream is first prepared with `flags`; when that fails the result is 0xFFFFFFFF.
uint32_t GetTopArchive_Packer(IQEArchive* archive, IQEArchive** out, uint32_t flags);

// *hasCertificate = 1 when the PE file has a security directory. Cached on the stream as
// PID_FILE_PE_CERTIFICATE (type 23). QE_E_FAIL for null arguments, QE_E_INVALIDARG when the
// archive is no PE archive, another host failure as the host reported it; 0 on success.
QRESULT CheckCertifiInfo(IQEArchive* archive, int* hasCertificate);
// *hasVersion = 1 when the root resource directory has an entry of type ID 16 (version
// information). Cached as PID_FILE_PE_VERSION (type 23). Results as CheckCertifiInfo.
QRESULT CheckVersion(IQEArchive* archive, int* hasVersion);

// The host offers no such lookup: both always answer 0xFFFFFFFF and set *out to null.
uint32_t GetTopStream_Obj(IUnknown* object, IUnknown** out);
uint32_t GetTopArchive_Obj(IUnknown* object, IUnknown** out, uint32_t flags);
