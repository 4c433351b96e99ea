// An owning reference to a host interface: released when it goes out of scope, so every
// interface a toolkit function obtains is released on every path.
#pragma once

#include <utility>

#include "sdk/unknown.h"

namespace remedy {

template <class T>
class InterfacePtr {
public:
    InterfacePtr() = default;
    // Takes over a reference the caller already owns.
    explicit InterfacePtr(T* owned) : p_(owned) {}
    InterfacePtr(const InterfacePtr&) = delete;
    InterfacePtr& operator=(const InterfacePtr&) = delete;
    InterfacePtr(InterfacePtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    InterfacePtr& operator=(InterfacePtr&& other) noexcept {
        if (this != &other) reset(std::exchange(other.p_, nullptr));
        return *this;
    }
    ~InterfacePtr() { reset(); }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Releases the held reference and takes over `owned`.
    void reset(T* owned = nullptr) {
        if (p_) p_->Release();
        p_ = owned;
    }
    // Hands the reference to the caller.
    T* detach() { return std::exchange(p_, nullptr); }
    // Out-parameter for host calls that hand out a reference.
    T** put() {
        reset();
        return &p_;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }

private:
    T* p_ = nullptr;
};

// `from` asked for `iid`; empty when `from` is null or does not answer it.
template <class T>
InterfacePtr<T> queryInterface(IUnknown* from, const GUID& iid) {
    InterfacePtr<T> out;
    void* raw = nullptr;
    if (from && from->QueryInterface(iid, &raw) >= 0 && raw) out.reset(static_cast<T*>(raw));
    return out;
}

}  // namespace remedy
