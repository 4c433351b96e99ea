// The host's instruction-length service (IQEX86Assembler) on Zydis, for 16- and 32-bit
// code. A reference-counted object; the object loader creates it for CLSID_CQEX86Assembler.
#pragma once

#include "sdk/host_services.h"

namespace host {

// Creates the service and answers the interface `iid` (IID_IQEX86Assembler or IID_IUnknown)
// in *out, with one reference for the caller. The environment is not needed and may be null.
QRESULT createX86Assembler(IUnknown* environment, const GUID& iid, void** out);

}  // namespace host
