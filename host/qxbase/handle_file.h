// A file reached by path ("HandleFile"): Open asks a file system (IQXFileSystem) for the file;
// from then on the object answers for the opened file. GetStream, GetPath and Rename act on it,
// and a query for its stream, archive or property interfaces is answered by the opened file.
#pragma once

#include "host/qxbase/ref_count.h"
#include "sdk/file_interfaces.h"

namespace host {

class HandleFile final : public IQxHandleFile {
public:
    HandleFile() = default;  // starts with one reference, closed

    QRESULT QueryInterface(const GUID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    // Fails with QE_E_UNEXPECTED when a file is open already, QE_E_INVALIDARG without a file
    // system or path; otherwise the file system's result.
    QRESULT Open(IQXFileSystem* fileSystem, const QEPATHRECORD* path, uint32_t flags) override;
    QRESULT Close() override;  // releases the opened file; 0 also when nothing is open
    QRESULT Rename(const QEPATHRECORD* newName) override;  // the opened file's Rename
    QRESULT GetStream(IQEStream** out) override;           // QE_E_UNEXPECTED when closed
    QRESULT GetPath(QEPATHRECORD* out) override;           // the opened file's path

private:
    ~HandleFile();
    template <class Interface>
    QRESULT openedAs(const GUID& iid, Interface** out);

    RefCount refs_;
    IUnknown* opened_ = nullptr;
};

}  // namespace host
