// The host's second virtual machine (IQEVM), created through the object loader that the
// running-object table holds.
#pragma once

#include "module/toolkit/interface_ptr.h"
#include "sdk/host_services.h"

namespace remedy {

// A fresh VM of class CLSID_CQEVM (with `rot` as its environment); empty when the table has no
// object loader or the loader cannot create one. The loader is released before returning.
InterfacePtr<IQEVM> createHostVm(IUnknown* rot);

}  // namespace remedy
