// The atomic reference count every host object starts with (one reference, the creator's).
#pragma once

#include <atomic>
#include <cstdint>

#include "sdk/identifiers.h"
#include "sdk/unknown.h"

namespace host {

class RefCount {
public:
    uint32_t add() { return count_.fetch_add(1) + 1; }
    uint32_t release() { return count_.fetch_sub(1) - 1; }  // 0: the caller deletes the object
    uint32_t value() const { return count_.load(); }

private:
    std::atomic<uint32_t> count_{1};
};

// QueryInterface of a host object that answers IUnknown and one interface `own`: *out gets
// `object` as Interface, AddRef'd; QE_E_NOINTERFACE (out null) for any other identifier.
template <class Object, class Interface>
QRESULT answerInterface(Object* object, const GUID& own, const GUID& iid, void** out) {
    if (!out) return QE_E_INVALIDARG;
    *out = nullptr;
    if (iid != qe::IID_IUnknown && iid != own) return QE_E_NOINTERFACE;
    object->AddRef();
    *out = static_cast<Interface*>(object);
    return QE_OK;
}

}  // namespace host
