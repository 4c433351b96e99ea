#include "module/toolkit/pe_address.h"

#include <algorithm>

int SwapByteOrder(void* buffer, int32_t length) {
    if (!buffer) return 0;
    if (length < 2) return 1;
    auto* bytes = static_cast<uint8_t*>(buffer);
    std::reverse(bytes, bytes + length);
    return 1;
}
