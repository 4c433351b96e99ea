// The class factory of one engine class. Each instantiation is one row of the module's class
// table; the host gets it through QEGetClassObject and creates engines with CreateInstance.
#pragma once

#include <new>
#include <type_traits>

#include "module/frame/unknown_imp.h"
#include "sdk/engine.h"
#include "sdk/identifiers.h"

// `Heuristic`, when not void, is the engine class CreateInstance creates instead of `Engine`
// when asked for IQEEngine (an interface `Engine` never answers): that is how a host obtains the
// unknown-virus engine, which has no row of its own.
template <class Engine, class Heuristic = void>
class TStdClsFactory : public IQXClassFactory, public CUnknownImp {
public:
    // Creates a factory and hands it out as `interfaceId`. On success the caller owns the
    // only reference; on failure *out is null.
    static QRESULT GetClassObject(const GUID& interfaceId, void** out) {
        if (!out) return QE_E_INVALIDARG;
        *out = nullptr;
        TStdClsFactory* factory = new (std::nothrow) TStdClsFactory();
        if (!factory) return QE_E_OUTOFMEMORY;
        factory->AddRef();
        const QRESULT initResult = factory->init_class(nullptr, nullptr);
        if (qeFailed(initResult)) {
            delete factory;
            return initResult;
        }
        const QRESULT result = factory->QueryInterface(interfaceId, out);
        factory->Release();
        return result;
    }

    QRESULT QueryInterface(const GUID& iid, void** out) override {
        if (!out) return QE_E_INVALIDARG;
        if (iid != qe::IID_IUnknown && iid != qe::IID_IQXClassFactory) return QE_E_NOINTERFACE;
        *out = static_cast<IQXClassFactory*>(this);
        AddRef();
        return QE_OK;
    }
    uint32_t AddRef() override { return addRefImp(); }
    uint32_t Release() override {
        const uint32_t count = releaseImp();
        if (count == 0) delete this;
        return count;
    }

    // Creates an engine bound to the host's running-object table (`context`). An engine is
    // never handed out without one: a null context or a non-null outer object fails with
    // QE_E_INVALIDARG and leaves *out null.
    QRESULT CreateInstance(IUnknown* context, IUnknown* outer, const GUID& iid, void** out) override {
        if constexpr (!std::is_void_v<Heuristic>) {
            if (iid == qe::IID_IQEEngine) return create<Heuristic>(context, outer, iid, out);
        }
        return create<Engine>(context, outer, iid, out);
    }
    QRESULT LockServer(int) override { return QE_OK; }

    virtual ~TStdClsFactory() = default;
    // A factory takes no context and no outer object; it stores nothing.
    virtual QRESULT init_class(IUnknown*, IUnknown* outer) { return outer ? QE_E_INVALIDARG : QE_OK; }

private:
    TStdClsFactory() = default;

    template <class Created>
    static QRESULT create(IUnknown* context, IUnknown* outer, const GUID& iid, void** out) {
        if (!out) return QE_E_INVALIDARG;
        *out = nullptr;
        Created* engine = new (std::nothrow) Created();
        if (!engine) return QE_E_OUTOFMEMORY;
        engine->AddRef();
        const QRESULT initResult = engine->init_class(context, outer);
        if (qeFailed(initResult)) {
            delete engine;
            return initResult;
        }
        const QRESULT result = engine->QueryInterface(iid, out);
        engine->Release();
        return result;
    }
};
