// RoCreateInstance: the host framework's factory of host objects by class name.
#include <cstring>
#include <new>

#include "host/qxbase/file_object.h"
#include "host/qxbase/format_list.h"
#include "host/qxbase/handle_file.h"
#include "host/qxbase/pdf_archive.h"
#include "sdk/engine.h"

namespace {

// Each creator makes an object with one reference (the caller's) or fails with a host result.
using Creator = QRESULT (*)(IUnknown* context, IUnknown** object);

// An empty in-memory file; writes extend it. The context is not used.
QRESULT createVirtualFile(IUnknown*, IUnknown** object) {
    *object = static_cast<IQEStream*>(host::FileObject::fromBytes({}));
    return QE_OK;
}

// Closed until Open; the context is not used.
QRESULT createHandleFile(IUnknown*, IUnknown** object) {
    *object = new host::HandleFile();
    return QE_OK;
}

// The format list of the context file object; with no context, an empty list of its own.
QRESULT createFormatList(IUnknown* context, IUnknown** object) {
    *object = new host::FormatList(context);
    return QE_OK;
}

// An archive over the context file object, which must be a PDF.
QRESULT createPdfArchive(IUnknown* context, IUnknown** object) {
    if (!context) return QE_E_INVALIDARG;
    auto* archive = new host::PdfArchive();
    QRESULT r = archive->Open(context);
    if (r != QE_OK) {
        archive->Release();
        return r;
    }
    *object = archive;
    return QE_OK;
}

struct HostClass {
    const char* name;
    Creator create;
};

constexpr HostClass kHostClasses[] = {
    {"VirtualFile", createVirtualFile},
    {"HandleFile", createHandleFile},
    {"FormatList", createFormatList},
    {"PdfArchive", createPdfArchive},
};

}  // namespace

// Unknown names fail with QE_E_INVALIDARG, as unknown class identifiers do elsewhere.
extern "C" __attribute__((visibility("default"))) QRESULT RoCreateInstance(const char* className, IUnknown* outer,
                                                                          const GUID& iid, void** out,
                                                                          IUnknown* context) {
    if (!out) return QE_E_INVALIDARG;
    *out = nullptr;
    if (!className || outer) return QE_E_INVALIDARG;
    for (const HostClass& hostClass : kHostClasses) {
        if (std::strcmp(className, hostClass.name) != 0) continue;
        IUnknown* object = nullptr;
        QRESULT r = QE_E_FAIL;
        try {
            r = hostClass.create(context, &object);
        } catch (const std::bad_alloc&) {
            return QE_E_OUTOFMEMORY;
        }
        if (r != QE_OK) return r;
        r = object->QueryInterface(iid, out);
        object->Release();
        return r;
    }
    return QE_E_INVALIDARG;
}
