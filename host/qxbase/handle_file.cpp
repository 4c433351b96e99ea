#include "host/qxbase/handle_file.h"

#include "sdk/identifiers.h"

namespace host {

HandleFile::~HandleFile() { Close(); }

template <class Interface>
QRESULT HandleFile::openedAs(const GUID& iid, Interface** out) {
    *out = nullptr;
    if (!opened_) return QE_E_UNEXPECTED;
    return opened_->QueryInterface(iid, reinterpret_cast<void**>(out));
}

QRESULT HandleFile::QueryInterface(const GUID& iid, void** out) {
    if (!out) return QE_E_INVALIDARG;
    if (iid == qe::IID_IUnknown || iid == qe::IID_IQxHandleFile) {
        AddRef();
        *out = static_cast<IQxHandleFile*>(this);
        return QE_OK;
    }
    // The opened file's own interfaces, so that the object is "a file" to whoever holds it.
    if (opened_ && (iid == qe::IID_IQEStream || iid == qe::IID_IQXStream || iid == qe::IID_IQEArchive ||
                    iid == qe::IID_IQXArchive || iid == qe::IID_IQEProperty || iid == qe::IID_IQEPropertyEx))
        return opened_->QueryInterface(iid, out);
    return QE_E_NOINTERFACE;
}

uint32_t HandleFile::AddRef() { return refs_.add(); }

uint32_t HandleFile::Release() {
    uint32_t left = refs_.release();
    if (left == 0) delete this;
    return left;
}

QRESULT HandleFile::Open(IQXFileSystem* fileSystem, const QEPATHRECORD* path, uint32_t flags) {
    if (opened_) return QE_E_UNEXPECTED;
    if (!fileSystem || !path || !path->path) return QE_E_INVALIDARG;
    IUnknown* file = nullptr;
    QRESULT r = fileSystem->OpenFile(path, flags, &file);
    if (r != QE_OK) {
        if (file) file->Release();
        return r < 0 ? r : QE_E_FAIL;
    }
    if (!file) return QE_E_FAIL;
    opened_ = file;
    return QE_OK;
}

QRESULT HandleFile::Close() {
    if (opened_) opened_->Release();
    opened_ = nullptr;
    return QE_OK;
}

QRESULT HandleFile::Rename(const QEPATHRECORD* newName) {
    IQxHandleFile* handle = nullptr;
    QRESULT r = openedAs(qe::IID_IQxHandleFile, &handle);
    if (r != QE_OK) return r;
    r = handle->Rename(newName);
    handle->Release();
    return r;
}

QRESULT HandleFile::GetStream(IQEStream** out) {
    if (!out) return QE_E_INVALIDARG;
    return openedAs(qe::IID_IQEStream, out);
}

// The record points into the opened file, which lives at least as long as this object holds it.
QRESULT HandleFile::GetPath(QEPATHRECORD* out) {
    if (!out) return QE_E_INVALIDARG;
    IQxHandleFile* handle = nullptr;
    QRESULT r = openedAs(qe::IID_IQxHandleFile, &handle);
    if (r != QE_OK) return r;
    r = handle->GetPath(out);
    handle->Release();
    return r;
}

}  // namespace host
