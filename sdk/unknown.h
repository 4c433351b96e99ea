// The root of every reference-counted host and module interface.
// Interfaces carry no virtual destructor: their slot order is the ABI, and
// objects are destroyed by their own Release.
#pragma once

#include "sdk/guid.h"
#include "sdk/results.h"

struct IUnknown {
    virtual QRESULT QueryInterface(const GUID& iid, void** out) = 0;  // slot 0
    virtual uint32_t AddRef() = 0;                                    // slot 1
    virtual uint32_t Release() = 0;                                   // slot 2
};

// Slots a interface reserves without naming them answer "not implemented"
// unless an implementation overrides them.
#define QE_RESERVED_SLOT(n) \
    virtual QRESULT Reserved##n() { return QE_E_NOTIMPL; }
