// The reference count shared by the class factories and the engines.
#pragma once

#include <atomic>
#include <cstdint>

class CUnknownImp {
protected:
    // Both return the count read after the change; the caller destroys the object at 0.
    uint32_t addRefImp() { return m_refCount.fetch_add(1, std::memory_order_relaxed) + 1; }
    uint32_t releaseImp() { return m_refCount.fetch_sub(1, std::memory_order_acq_rel) - 1; }

    std::atomic<uint32_t> m_refCount{0};
};
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the count is one 32-bit word");
