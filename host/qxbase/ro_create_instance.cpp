// RoCreateInstance: the host framework's factory of host objects by class name.
#include <cstring>

#include "host/qxbase/file_object.h"
#include "sdk/engine.h"

extern "C" __attribute__((visibility("default"))) QRESULT RoCreateInstance(const char* className, IUnknown* outer,
                                                                          const GUID& iid, void** out,
                                                                          IUnknown* /*context*/) {
    if (!out) return QE_E_INVALIDARG;
    *out = nullptr;
    if (!className || outer) return QE_E_INVALIDARG;
    if (std::strcmp(className, "VirtualFile") == 0) {
        // An empty in-memory file; writes extend it.
        host::FileObject* file = host::FileObject::fromBytes({});
        QRESULT r = file->QueryInterface(iid, out);
        file->Release();
        return r;
    }
    return QE_E_NOTIMPL;
}
