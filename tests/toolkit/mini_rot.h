// A small running-object table for toolkit tests, until the host's own is available: it hands
// out an object loader that creates the host's PE archive. Lives on the test's stack.
#pragma once

#include "host/pe/pe_archive.h"
#include "sdk/host_services.h"
#include "sdk/identifiers.h"

namespace toolkit_test {

class MiniLoader final : public IQEObjectLoader {
public:
    int created = 0;
    bool fails = false;
    QRESULT QueryInterface(const GUID& iid, void** out) override {
        if (iid != qe::IID_IUnknown && iid != qe::IID_IQEObjectLoader) return QE_E_NOINTERFACE;
        *out = static_cast<IQEObjectLoader*>(this);
        AddRef();
        return QE_OK;
    }
    uint32_t AddRef() override { return ++refs; }
    uint32_t Release() override { return --refs; }
    QRESULT CreateInstance(IUnknown* environment, const GUID& clsid, IUnknown* outer, const GUID& iid,
                           void** out) override {
        if (fails || outer || clsid != qe::CLSID_CQEPEArchive) return QE_E_FAIL;
        ++created;
        return host::createPeArchive(environment, iid, out);
    }
    uint32_t refs = 1;
};

class MiniRot final : public IQERunningObjectTable {
public:
    MiniLoader loader;
    bool hasLoader = true;
    QRESULT QueryInterface(const GUID& iid, void** out) override {
        if (iid != qe::IID_IUnknown && iid != qe::IID_IQERunningObjectTable) return QE_E_NOINTERFACE;
        *out = static_cast<IQERunningObjectTable*>(this);
        AddRef();
        return QE_OK;
    }
    uint32_t AddRef() override { return ++refs; }
    uint32_t Release() override { return --refs; }
    QRESULT GetObject(const GUID& pid, IUnknown** out) override {
        if (!hasLoader || pid != qe::PID_ROT_ObjectLoader) return QE_E_FAIL;
        loader.AddRef();
        *out = &loader;
        return QE_OK;
    }
    QRESULT RegisterObject(const GUID&, IUnknown*) override { return QE_E_NOTIMPL; }
    QRESULT RevokeObject(const GUID&) override { return QE_E_NOTIMPL; }
    uint32_t refs = 1;
};

}  // namespace toolkit_test
