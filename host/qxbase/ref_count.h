// The atomic reference count every host object starts with (one reference, the creator's).
#pragma once

#include <atomic>
#include <cstdint>

namespace host {

class RefCount {
public:
    uint32_t add() { return count_.fetch_add(1) + 1; }
    uint32_t release() { return count_.fetch_sub(1) - 1; }  // 0: the caller deletes the object
    uint32_t value() const { return count_.load(); }

private:
    std::atomic<uint32_t> count_{1};
};

}  // namespace host
